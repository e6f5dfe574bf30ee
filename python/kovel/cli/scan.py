"""``kovel scan``: run a project's rules (or one rule file) over files, report, and fix.

Exit status: 1 when an error-severity diagnostic is found, 0 otherwise, 2
on a usage error, a bad rule file (``file:line: key: what``) or a file that
could not be read, parsed or written.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import re
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import cast

from kovel.batch import (
    DEFAULT_TIMEOUT,
    TASK_MODULES,
    ScannedFile,
    apply_changes,
    default_timeout,
    judge_elsewhere,
    scan_files,
)
from kovel.batch.files import list_files, write_roots
from kovel.batch.results import Change, RewrittenFile
from kovel.batch.safewrite import NotWrittenError, SafeWriter
from kovel.batch.tasks import describe_error
from kovel.batch.workers import InlineExecutor, WatchdogPool, executor_for
from kovel.cli import interactive
from kovel.cli.output import cache_note, cache_pruned, coloured, shown_path
from kovel.cli.report import diagnostic_json, diagnostic_text, sarif
from kovel.rules import RuleConfig, RuleFileError, load_rules, precompile
from kovel.rules.load import SEVERITIES
from kovel.rules.project import find_config, load_project, with_project_utils
from kovel.rules.rule import Severity

__all__ = ["load_selected", "run_scan"]


def load_selected(
    config: str | None,
    rule_file: str | None,
    ids: Sequence[str],
    pattern: str | None,
    levels: Mapping[str, Sequence[str]] | None = None,
) -> tuple[list[RuleConfig], str, tuple[tuple[str, tuple[str, ...]], ...]]:
    """The rules to run (those of ``rule_file``, else of the project file ``config``
    or the one found here or above; with ``ids``, only those; with ``pattern``, those
    whose id it finds; never those whose severity is ``off``), the folder their
    ``files``/``ignores`` globs are relative to, and the project's ``languageGlobs``.

    ``levels`` gives severities in place of the rules' own: for each level, the
    ids of the rules that take it, ``*`` for every rule.  A rule named beats
    ``*``; between two levels that name it, the more severe wins.

    Raises ``RuleFileError`` for a bad rule file and ``ValueError`` when there is no project.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "r.yml")
    >>> _ = f.write_text("id: a\\nlanguage: python\\nrule: {kind: call}\\n---\\nid: b\\nlanguage: c\\nrule: {kind: call_expression}\\n")
    >>> [r.id for r in load_selected(None, str(f), [], "^b")[0]]
    ['b']
    """
    globs: tuple[tuple[str, tuple[str, ...]], ...] = ()
    if rule_file is not None:
        rules, base = load_rules(rule_file), os.getcwd()
        # A rule of a project, run alone, may name the project's utility rules.
        path = config or find_config()
        if path is not None:
            rules = with_project_utils(rules, path)
    else:
        path = config or find_config()
        if path is None:
            raise ValueError("no kovel.yml here or in a folder above (give -c CONFIG or -r RULE_FILE)")
        project = load_project(path)
        rules, base, globs = (
            list(project.rules),
            os.path.dirname(os.path.abspath(path)),
            project.language_globs,
        )
    # A rule named that is not there is a mistake that would run nothing, and pass.
    if not rules:
        raise ValueError(f"no rules in {rule_file or path}")
    known = {r.id for r in rules}
    for level, named in (("rule-id", ids), *((lv, ids_) for lv, ids_ in (levels or {}).items())):
        missing = sorted(set(named) - known - ({"*"} if level != "rule-id" else set()))
        if missing:
            raise ValueError(f"--{level}: no rule has the id {missing[0]!r}")
    if ids:
        rules = [r for r in rules if r.id in ids]
    if pattern is not None:
        try:
            found = re.compile(pattern)
        except re.error as exc:
            raise ValueError(f"--filter: not a regular expression: {exc}") from None
        rules = [r for r in rules if found.search(r.id)]
        if not rules:
            raise ValueError(f"--filter: no rule id matches {pattern!r}")
    if levels:
        rules = [_leveled(r, levels) for r in rules]
    return [r for r in rules if r.severity != "off"], base, globs


_PRECEDENCE = ("off", *(lv for lv in SEVERITIES if lv != "off"))


def _leveled(r: RuleConfig, levels: Mapping[str, Sequence[str]]) -> RuleConfig:
    for named in (r.id, "*"):
        # As ast-grep: `--off` wins, then the most severe level named.
        chosen = next((lv for lv in _PRECEDENCE if named in levels.get(lv, ())), None)
        if chosen is not None:
            return dataclasses.replace(r, severity=cast(Severity, chosen))
    return r


def _compiling(
    configs: Sequence[RuleConfig], pool: InlineExecutor | WatchdogPool, limit: float
) -> Callable[[], None]:
    """Start compiling the rules in ``pool``, under ``limit`` (a grammar may loop
    forever on a pattern, and only a worker can be stopped); the workers keep
    what they compiled for the files.  The function returned waits for the
    compiles, and raises ``ValueError`` naming the first rule that failed."""
    futures = [pool.submit_limited(limit, precompile, c) for c in configs]

    def wait() -> None:
        for c, f in zip(configs, futures, strict=True):
            try:
                f.result()
            except (ValueError, SyntaxError, re.error) as exc:
                raise ValueError(f"{c.named}: {exc}") from None
            except Exception as exc:
                raise ValueError(f"{c.named}: cannot compile its pattern: {describe_error(exc)}") from None

    return wait


def run_scan(a: argparse.Namespace) -> int:
    """Run ``kovel scan`` with parsed arguments; return the exit status."""
    try:
        levels = {lv: getattr(a, lv) for lv in SEVERITIES if getattr(a, lv)}
        configs, base, language_globs = load_selected(a.config, a.rule, a.rule_id or [], a.filter, levels)
    except RuleFileError as exc:
        print(f"kovel: {exc}", file=sys.stderr)
        return 2
    except (ValueError, SyntaxError) as exc:
        print(f"kovel: {exc}", file=sys.stderr)
        return 2
    if (a.fix or a.interactive) and a.format != "text":
        print("kovel: --fix and --interactive print text, not --json or --format", file=sys.stderr)
        return 2
    if a.interactive and (sys.stdin is None or not sys.stdin.isatty()):
        print("kovel: --interactive needs a terminal on standard input", file=sys.stderr)
        return 2
    note = cache_note(a.cache)
    if note is not None:
        print(note, file=sys.stderr)
    limit = DEFAULT_TIMEOUT if a.timeout is None else a.timeout
    pool = executor_for(a.jobs, limit, TASK_MODULES)
    compiles = _compiling(configs, pool, limit)  # the files are listed meanwhile
    by_lang: dict[str, list[RuleConfig]] = {}
    for c in configs:
        by_lang.setdefault(c.language, []).append(c)

    def rules_for(path: str, lang: str) -> list[RuleConfig]:
        return [c for c in by_lang.get(lang, []) if c.applies_to(path, base)]

    listed = [
        x
        for x in list_files(
            a.paths,
            None,
            ignore=not a.no_ignore,
            hidden=a.hidden,
            globs=a.glob,
            follow=a.follow,
            language_globs=language_globs,
        )
        if x.error is not None or (x.lang in by_lang)
    ]
    try:
        compiles()
    except ValueError as exc:
        pool.shutdown(cancel_futures=True)
        print(f"kovel: {exc}", file=sys.stderr)
        return 2
    failed = errors = False
    terminal = sys.stdout.isatty()
    colour = coloured(a.color, terminal)
    writer = SafeWriter(write_roots(a.paths)) if a.fix or a.interactive else None
    review = interactive.Review(_show) if a.interactive else None
    done: list[ScannedFile] = []
    counts = {"error": 0, "warning": 0, "info": 0, "hint": 0}
    written = 0
    try:
        results = scan_files(
            a.paths,
            rules_for,
            executor=pool,
            timeout=default_timeout if a.timeout is None else a.timeout,
            listed=listed,
            cache=a.cache,
        )
        for r in results:
            if r.error is not None:
                if not r.skipped or any(x.named and x.path == r.path for x in listed):
                    failed = True
                    print(f"kovel: {shown_path(r.path)}: {r.error}", file=sys.stderr)
                else:  # (found in a directory: a note, as find gives one)
                    print(f"kovel: note: {shown_path(r.path)}: {r.error}", file=sys.stderr)
                continue
            lines: list[str] = []  # the file's, printed in one write
            for d in r.diagnostics:
                counts[d.severity] = counts.get(d.severity, 0) + 1
                errors = errors or d.severity == "error"
                if a.format == "json":
                    lines.append(diagnostic_json(r, d))
                elif a.format == "text" and not a.interactive:
                    lines.extend(diagnostic_text(shown_path(r.path), d, terminal, colour))
            if lines:
                sys.stdout.write("\n".join(lines) + "\n")
            if a.format == "sarif":
                done.append(r)
            if writer is not None:
                for why in r.withheld:
                    print(f"kovel: note: {shown_path(r.path)}: {why}", file=sys.stderr)
                ok = _fix(r, writer, review, a.force, pool, limit)
                failed = failed or ok is None
                written += bool(ok)
                if review is not None and review.quit:
                    break
            sys.stdout.flush()
    finally:
        pool.shutdown(cancel_futures=True)
    noted = cache_pruned(a.cache, a.cache_size, note is not None)
    if noted is not None:
        print(noted, file=sys.stderr)
    if a.format == "sarif":
        print(json.dumps(sarif(configs, done), indent=2, ensure_ascii=False))
    if a.format == "text" and any(counts.values()) and not a.interactive:
        summary = ", ".join(f"{n} {k}{'s' * (n != 1)}" for k, n in counts.items() if n)
        print(f"kovel: {summary}", file=sys.stderr)
    if written:
        print(f"kovel: {written} file{'s' * (written != 1)} fixed", file=sys.stderr)
    return 2 if failed else 1 if errors else 0


def _show(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def _fix(
    r: ScannedFile,
    writer: SafeWriter,
    review: interactive.Review | None,
    force: bool,
    pool: InlineExecutor | WatchdogPool,
    limit: float | None,
) -> bool | None:
    """Apply ``r``'s fixes (those the user accepts, with ``review``): True when written,
    False when nothing was, None on a failure (reported).  The fixed text is
    judged in ``pool`` under ``limit``: a grammar may loop forever on it."""
    changes: list[Change] = []
    left = 0  # fixes that overlap one taken before them: the next run applies them to the fixed text
    # (The outermost first where fixes start together: those inside it wait for the next run.)
    # (A fix that writes what stands there changes nothing: the file is not written for it.)
    for fix in sorted(
        (d.fix for d in r.diagnostics if d.fix is not None and d.fix.new != d.fix.old.text),
        key=lambda c: (c.old.start, -c.old.end),
    ):
        if not changes or fix.old.start >= changes[-1].old.end:
            changes.append(fix)
        else:
            left += 1
    if not changes:
        return False
    try:
        with open(r.path, "rb") as f:
            data = f.read()
    except OSError as exc:
        print(f"kovel: {shown_path(r.path)}: cannot read: {exc.strerror or exc}", file=sys.stderr)
        return None
    if hashlib.sha256(data).hexdigest() != r.digest:
        print(f"kovel: {shown_path(r.path)}: changed on disk since it was read; not fixed", file=sys.stderr)
        return None
    if review is not None:
        changes = review.file(RewrittenFile(r.path, r.lang, r.digest, b"", changes=tuple(changes)), data)
        if not changes:
            return False
    new = apply_changes(data, changes, r.encoding)
    try:
        after, rejected = judge_elsewhere(pool, limit, r, data, new)
    except Exception as exc:
        print(
            f"kovel: {shown_path(r.path)}: the fixed file cannot be checked: {describe_error(exc)}; not written",
            file=sys.stderr,
        )
        return None
    if (after > r.errors_before or rejected is not None) and not force:
        why = (
            f"the fixes add syntax errors ({r.errors_before} before, {after} after)"
            if after > r.errors_before
            else ""
        )
        why = "; ".join(
            x for x in (why, f"Python rejects the fixed file: {rejected}" if rejected else "") if x
        )
        print(f"kovel: {shown_path(r.path)}: {why}; not written (--force writes it)", file=sys.stderr)
        return None
    try:
        notes = writer.replace(r.path, new, r.digest)
    except NotWrittenError as exc:
        print(f"kovel: {shown_path(r.path)}: {exc}", file=sys.stderr)
        return None
    except OSError as exc:
        print(f"kovel: {shown_path(r.path)}: cannot write: {exc.strerror or exc}", file=sys.stderr)
        return None
    for n in notes:
        print(f"kovel: note: {shown_path(r.path)}: {n}", file=sys.stderr)
    if left and review is None:
        print(
            f"kovel: note: {shown_path(r.path)}: {left} fix{'es' * (left != 1)} overlapping another not applied; "
            "a second run applies what still matches",
            file=sys.stderr,
        )
    return True
