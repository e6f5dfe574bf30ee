"""Rule files: YAML read with PyYAML's safe loader, every key's line kept, every rule checked.

A file holds one or more rules separated by ``---``, in ast-grep's keys
(``id``, ``language``, ``rule``, ``constraints``, ``utils``, ``transform``,
``fix``, ...).  A mistake is a ``RuleFileError`` naming the file, the line
and the key: ``rules.yml:7: rule.inside.stopBy: expected 'neighbor', 'end'
or a rule``.
"""

from __future__ import annotations

import dataclasses
import errno
import os
import re
import stat
from collections.abc import Iterator
from typing import Any, cast

from kovel.rules.langs import language_of
from kovel.rules.regex import compile_regex
from kovel.rules.rule import (
    Convert,
    NthChild,
    PatternSpec,
    Range,
    Replace,
    Rewrite,
    Rule,
    RuleConfig,
    Severity,
    Substring,
    Transform,
    braces_expanded,
    nth_formula,
)
from kovel.rules.transform import CASES, SEPARATORS, replace_error

__all__ = [
    "NotYAML", "RuleFileError", "line_of", "load_rules", "parse_rules", "read_yaml", "regular_only", "rule_files",
]  # fmt: skip

RULE_KEYS = {
    "pattern", "kind", "regex", "nthChild", "inside", "has", "follows", "precedes",
    "all", "any", "not", "matches", "stopBy", "field", "range",
}  # fmt: skip
TOP_KEYS = {
    "id", "language", "message", "severity", "note", "rule", "constraints", "utils",
    "transform", "fix", "files", "ignores", "url", "metadata", "labels", "rewriters",
}  # fmt: skip
REWRITER_KEYS = {"id", "rule", "constraints", "utils", "transform", "fix"}
SEVERITIES = ("error", "warning", "info", "hint", "off")


class RuleFileError(ValueError):
    """A rule file that cannot be read or says something wrong: ``path:line: key: what``.

    >>> str(RuleFileError("rules.yml", 7, "rule.kind", "expected a string"))
    'rules.yml:7: rule.kind: expected a string'
    """

    def __init__(self, path: str, line: int, key: str, what: str) -> None:
        super().__init__(f"{path}:{line}: {key}: {what}" if key else f"{path}:{line}: {what}")
        self.path, self.line, self.key, self.what = path, line, key, what


class _Map(dict[str, Any]):
    """A mapping read from YAML, with the line of each key (1-based) and its own."""

    line = 0
    lines: dict[str, int]


def line_of(m: object, key: str | None = None) -> int:
    """The line (1-based) of ``key`` in a mapping ``read_yaml`` gave, or of the
    mapping itself (without ``key``, or for a key it lacks); 1 for any other value.

    >>> doc = read_yaml("id: r\\nvalid:\\n  - 5\\n")
    >>> line_of(doc, "valid"), line_of(doc), line_of([])
    (2, 1, 1)
    """
    if not isinstance(m, _Map):
        return 1
    return m.lines.get(key, m.line) if key is not None else m.line


class NotYAML(ValueError):
    """Text that YAML cannot read; the message is the YAML reader's."""


def read_yaml(stream: Any, *, documents: bool = False) -> Any:
    """The value of the YAML document in ``stream`` (with ``documents``, the list
    of its ``---``-separated documents), read safely; raises ``NotYAML``.

    >>> read_yaml("a: [1, 2]"), read_yaml("x\\n---\\ny\\n", documents=True)
    ({'a': [1, 2]}, ['x', 'y'])
    """
    import yaml

    loader = _loader()
    try:  # a SafeLoader subclass
        return list(yaml.load_all(stream, Loader=loader)) if documents else yaml.load(stream, Loader=loader)  # noqa: S506
    except yaml.YAMLError as exc:
        raise NotYAML(str(exc)) from None


_LOADER: list[type[Any]] = []  # the loader, once made


def _loader() -> type[Any]:
    """The safe YAML loader of rule files (made on first use: the commands that
    take no rule file need not import YAML).

    Its mappings keep their lines, and a key written twice is an error (the
    second would silently drop the first: a rule with two ``has`` would run
    with one).  Scalars are read as YAML 1.2 reads them, as ast-grep does:
    ``on``, ``no`` and ``off`` are words, not booleans; and a plain scalar is a
    number only where it is written as Python writes that number, so that
    where text is meant (a pattern, a fix) ``0x1F``, ``1_000`` or ``+5``
    stays the text written.
    """
    if _LOADER:
        return _LOADER[0]
    import yaml

    def construct_mapping(self: Any, node: Any, deep: bool = False) -> dict[Any, Any]:
        seen: set[Any] = set()
        for k, _ in node.value:
            key = k.value if isinstance(k, yaml.ScalarNode) else id(k)
            if key in seen:
                raise yaml.constructor.ConstructorError(
                    "while reading a mapping",
                    node.start_mark,
                    f"the key {k.value!r} is written twice",
                    k.start_mark,
                )
            seen.add(key)
        made = yaml.constructor.SafeConstructor.construct_mapping(self, node, deep=True)
        out = _Map({str(k): v for k, v in made.items()})
        out.line = node.start_mark.line + 1
        out.lines = {
            str(k.value): k.start_mark.line + 1 for k, _ in node.value if isinstance(k, yaml.ScalarNode)
        }
        return out

    def construct_bool(self: Any, node: Any) -> bool:
        return bool(self.construct_scalar(node).lower() == "true")

    def construct_int(self: Any, node: Any) -> int:
        return int(self.construct_scalar(node))

    # libyaml's parser where PyYAML was built with it: the same documents and
    # marks, read several times faster (the safe constructor either way).
    base = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    loader = cast(
        "type[yaml.SafeLoader]",
        type("Loader", (base,), {"construct_mapping": construct_mapping, "yaml_implicit_resolvers": {}}),
    )
    loader.add_implicit_resolver(
        "tag:yaml.org,2002:bool", re.compile(r"^(?:true|True|TRUE|false|False|FALSE)$"), list("tTfF")
    )
    loader.add_implicit_resolver(
        "tag:yaml.org,2002:int", re.compile(r"^(?:0|-?[1-9][0-9]*)$"), list("-0123456789")
    )
    loader.add_implicit_resolver(
        "tag:yaml.org,2002:null", re.compile(r"^(?:~|null|Null|NULL|)$"), ["~", "n", "N", ""]
    )
    loader.add_constructor("tag:yaml.org,2002:bool", construct_bool)
    loader.add_constructor("tag:yaml.org,2002:int", construct_int)
    loader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_MAPPING_TAG, construct_mapping)
    _LOADER.append(loader)
    return loader


class _Reader:
    """Turns one YAML document into a ``RuleConfig``, raising ``RuleFileError`` at the first mistake."""

    def __init__(self, path: str) -> None:
        self.path = path

    def fail(self, m: Any, key: str, what: str, name: str | None = None) -> RuleFileError:
        line = 0
        if isinstance(m, _Map):
            line = m.lines.get(name, m.line) if name is not None else m.line
        return RuleFileError(self.path, line, key, what)

    def string(self, m: _Map, name: str, where: str, required: bool = False) -> str | None:
        v = m.get(name)
        if v is None:
            if required:
                raise self.fail(m, where + name, "missing (required)")
            return None
        if not isinstance(v, str | int | float) or isinstance(v, bool):
            raise self.fail(m, where + name, "expected a string", name)
        return str(v)

    def config(self, doc: Any) -> RuleConfig:
        if not isinstance(doc, _Map):
            raise RuleFileError(self.path, 1, "", "a rule must be a mapping (id, language, rule, ...)")
        for k in doc:
            if k not in TOP_KEYS:
                raise self.fail(
                    doc, str(k), f"unknown key (expected one of {', '.join(sorted(TOP_KEYS))})", k
                )
        rid = self.string(doc, "id", "", True)
        lang = self.string(doc, "language", "", True)
        assert rid is not None and lang is not None
        if "rule" not in doc:
            raise self.fail(doc, "rule", "missing (required)")
        severity = self.string(doc, "severity", "") or "warning"
        if severity not in SEVERITIES:
            raise self.fail(doc, "severity", f"expected one of {', '.join(SEVERITIES)}", "severity")
        utils = self.named_rules(doc, "utils")
        self.labels(doc)
        return RuleConfig(
            rid,
            language_of(lang),
            self.rule(doc["rule"], "rule", doc, "rule"),
            self.string(doc, "message", "") or "",
            _severity(severity),
            self.string(doc, "note", ""),
            self.named_rules(doc, "constraints"),
            utils,
            self.transforms(doc),
            self.fix(doc),
            self.globs(doc, "files"),
            self.globs(doc, "ignores"),
            self.string(doc, "url", ""),
            *self.expansions(doc),
            self.rewriters(doc, language_of(lang)),
        )

    def rewriters(self, doc: _Map, lang: str) -> tuple[RuleConfig, ...]:
        v = doc.get("rewriters", [])
        if not isinstance(v, list) or not all(isinstance(x, _Map) for x in v):
            raise self.fail(
                doc, "rewriters", "expected a list of rules with an id, a rule and a fix", "rewriters"
            )
        out: list[RuleConfig] = []
        for i, r in enumerate(v):
            where = f"rewriters[{i}]."
            for k in r:
                if k not in REWRITER_KEYS:
                    raise self.fail(
                        r,
                        where + str(k),
                        f"unknown key (expected one of {', '.join(sorted(REWRITER_KEYS))})",
                        k,
                    )
            rid = self.string(r, "id", where, True)
            assert rid is not None
            if "rule" not in r:
                raise self.fail(r, where + "rule", "missing (required)")
            out.append(
                RuleConfig(
                    rid,
                    lang,
                    self.rule(r["rule"], where + "rule", r, "rule"),
                    constraints=self.named_rules(r, "constraints"),
                    utils=self.named_rules(r, "utils"),
                    transform=self.transforms(r),
                    fix=self.fix(r),
                )
            )
        ids = [r.id for r in out]
        for name, t in self.transforms(doc).items():
            if isinstance(t, Rewrite):
                for x in t.rewriters:
                    if x not in ids:
                        raise self.fail(
                            doc,
                            f"transform.{name}.rewrite.rewriters",
                            f"no rewriter named {x!r}",
                            "transform",
                        )
        return tuple(out)

    def labels(self, doc: _Map) -> None:
        """Checks ``labels`` (kept for ast-grep's sake; kovel shows none): each a
        metavariable's name and a mapping of ``style`` and ``message``."""
        v = doc.get("labels")
        if v is None:
            return
        if not isinstance(v, _Map):
            raise self.fail(doc, "labels", "expected a mapping of metavariables to labels", "labels")
        for name, label in v.items():
            if not isinstance(label, _Map) or label.get("style") not in ("primary", "secondary"):
                raise self.fail(v, f"labels.{name}", "expected {style: primary or secondary, message}", name)
            for k in label:
                if k not in ("style", "message"):
                    raise self.fail(label, f"labels.{name}.{k}", "unknown key (expected style, message)", k)

    def fix(self, doc: _Map) -> str | None:
        v = doc.get("fix")
        if isinstance(v, _Map):  # ast-grep's {template, expandStart, expandEnd}
            for k in v:
                if k not in ("template", "expandStart", "expandEnd"):
                    raise self.fail(
                        v, f"fix.{k}", "unknown key (expected template, expandStart, expandEnd)", k
                    )
            if v.get("template") is None:
                raise self.fail(v, "fix.template", "expected the fix's template", "fix")
            v = v.get("template")
        if isinstance(v, int) and not isinstance(v, bool):
            v = str(v)  # read as a number only where written as one, so the text is the same
        if v is not None and not isinstance(v, str):
            raise self.fail(doc, "fix", "expected a template string", "fix")
        return v

    def expansions(self, doc: _Map) -> tuple[Rule | None, Rule | None]:
        v = doc.get("fix")
        if not isinstance(v, _Map):
            return None, None
        start, end = (
            self.rule(v[k], f"fix.{k}", v, k, relation=True) if k in v else None
            for k in ("expandStart", "expandEnd")
        )
        return start, end

    def globs(self, doc: _Map, name: str) -> tuple[str, ...]:
        v = doc.get(name)
        if v is None:
            return ()
        if isinstance(v, str):
            v = [v]
        if not isinstance(v, list) or not all(isinstance(x, str) for x in v):
            raise self.fail(doc, name, "expected a list of globs", name)
        for g in v:
            try:
                problem = next(filter(None, map(_glob_problem, braces_expanded(g))), None)
            except ValueError as exc:
                raise self.fail(doc, name, str(exc), name) from None
            if problem is not None:
                raise self.fail(doc, name, f"{g!r} is no glob: {problem}", name)
        return tuple(v)

    def named_rules(self, doc: _Map, name: str) -> dict[str, Rule]:
        v = doc.get(name)
        if v is None:
            return {}
        if not isinstance(v, _Map):
            raise self.fail(doc, name, "expected a mapping of names to rules", name)
        return {str(k): self.rule(r, f"{name}.{k}", v, str(k)) for k, r in v.items()}

    def transforms(self, doc: _Map) -> dict[str, Transform]:
        v = doc.get("transform")
        if v is None:
            return {}
        if not isinstance(v, _Map):
            raise self.fail(doc, "transform", "expected a mapping of names to transforms", "transform")
        return {str(k): self.transform(t, f"transform.{k}", v, str(k)) for k, t in v.items()}

    def transform(self, t: Any, key: str, parent: _Map, name: str) -> Transform:
        if isinstance(t, str):  # ast-grep's `convert($X, toCase=upperCase)`
            t = self.call(t, key, parent, name)
        if not isinstance(t, _Map) or len(t) != 1:
            raise self.fail(parent, key, "expected one of replace, substring, convert, rewrite", name)
        ((op, body),) = t.items()
        where = f"{key}.{op}"
        if not isinstance(body, _Map):
            raise self.fail(t, where, "expected a mapping", op)
        source = self.string(body, "source", where + ".", True)
        assert source is not None
        if op == "replace":
            rep, by = (
                self.string(body, "replace", where + ".", True),
                self.string(body, "by", where + ".", True),
            )
            assert rep is not None and by is not None
            made = Replace(source, rep, by)
            wrong = replace_error(made)
            if wrong is not None:
                raise self.fail(body, f"{where}.replace", wrong, "replace")
            return made
        if op == "substring":
            ends = []
            for e in ("startChar", "endChar"):
                x = body.get(e)
                if x is not None and (not isinstance(x, int) or isinstance(x, bool)):
                    raise self.fail(body, f"{where}.{e}", "expected an integer", e)
                ends.append(x)
            return Substring(source, ends[0], ends[1])
        if op == "rewrite":
            names = body.get("rewriters")
            if not isinstance(names, list) or not names or not all(isinstance(x, str) for x in names):
                raise self.fail(body, f"{where}.rewriters", "expected a list of rewriter ids", "rewriters")
            return Rewrite(source, tuple(names), self.string(body, "joinBy", where + "."))
        if op == "convert":
            case = self.string(body, "toCase", where + ".", True)
            assert case is not None
            if case.lower() not in CASES:
                raise self.fail(body, f"{where}.toCase", "expected one of snakeCase, camelCase, pascalCase, "
                                "kebabCase, upperCase, lowerCase", "toCase")  # fmt: skip
            sep = body.get("separatedBy")
            if sep is not None and not (isinstance(sep, list) and all(x in SEPARATORS for x in sep)):
                raise self.fail(body, f"{where}.separatedBy", "expected a list of "
                                + ", ".join(SEPARATORS), "separatedBy")  # fmt: skip
            return Convert(source, case, None if sep is None else tuple(sep))
        raise self.fail(
            t, key, f"unknown transform {op!r} (expected replace, substring, convert or rewrite)", op
        )

    def call(self, text: str, key: str, parent: _Map, name: str) -> _Map:
        """A transform written as a call (`substring($X, startChar=1)`), as the
        mapping it stands for: its first argument the source, the others by name."""
        found = _CALL.fullmatch(text.strip())
        if found is None:
            raise self.fail(parent, key, "expected a transform such as convert($X, toCase=upperCase)", name)
        line = parent.lines.get(name, parent.line)

        def mapping(d: dict[str, Any]) -> _Map:
            m = _Map(d)
            m.line, m.lines = line, dict.fromkeys(d, line)
            return m

        body: dict[str, Any] = {}
        for i, arg in enumerate(_ARGUMENT.findall(found.group(2) + ",")):
            arg = arg.strip()
            k, eq, v = arg.partition("=")
            if i == 0 and not eq:
                body["source"] = arg
                continue
            value = _argument_value(v.strip()) if eq else None
            if not eq or not k.strip().isidentifier() or value is None:
                raise self.fail(parent, key, f"cannot read the argument {arg!r} (expected name=value)", name)
            body[k.strip()] = value
        return mapping({found.group(1): mapping(body)})

    def rule(self, r: Any, key: str, parent: _Map, name: str, relation: bool = False) -> Rule:
        if not isinstance(r, _Map):
            raise self.fail(parent, key, "expected a rule (a mapping)", name)
        for k in r:
            if k not in RULE_KEYS:
                raise self.fail(r, f"{key}.{k}", "unknown rule key", k)
            if k in ("stopBy", "field") and not relation and r[k] is not None:
                raise self.fail(
                    r, f"{key}.{k}", "only a rule of inside, has, follows or precedes takes it", k
                )
        # A key set to null is absent, as in ast-grep.
        if not any(r.get(k) is not None for k in RULE_KEYS - {"stopBy", "field"}):
            raise self.fail(r, key, "a rule needs at least one condition (pattern, kind, regex, ...)", name)
        args: dict[str, Any] = {}
        p = r.get("pattern")
        if isinstance(p, _Map):
            for k in p:
                if k not in ("context", "selector", "strictness"):
                    raise self.fail(
                        p, f"{key}.pattern.{k}", "unknown key (expected context, selector, strictness)", k
                    )
            if p.get("strictness", "smart") != "smart":
                # kovel matches as ast-grep's default does; the other levels are not there.
                raise self.fail(
                    p, f"{key}.pattern.strictness", "only 'smart' is supported by kovel", "strictness"
                )
            ctx = p.get("context")
            if not isinstance(ctx, str):
                raise self.fail(p, f"{key}.pattern.context", "expected the context code", "context")
            sel = p.get("selector")
            args["pattern"] = PatternSpec(ctx, None if sel is None else str(sel))
        elif p is not None:
            args["pattern"] = self.string(r, "pattern", key + ".")
        for k in ("kind", "regex", "matches", "field"):
            if k in r:
                args[k] = self.string(r, k, key + ".")
        if args.get("regex") is not None:
            try:
                compile_regex(args["regex"])
            except re.error as exc:
                raise self.fail(r, f"{key}.regex", f"not a regular expression: {exc}", "regex") from None
        if r.get("nthChild") is not None:
            args["nth_child"] = self.nth(r, key)
        for k in ("inside", "has", "follows", "precedes"):
            if r.get(k) is not None:
                args[k] = self.rule(r[k], f"{key}.{k}", r, k, relation=True)
        if r.get("not") is not None:
            args["not_"] = self.rule(r["not"], f"{key}.not", r, "not")
        for k in ("all", "any"):
            if r.get(k) is not None:
                v = r[k]
                if not isinstance(v, list):  # (empty: `all` holds for every node, `any` for none)
                    raise self.fail(r, f"{key}.{k}", "expected a list of rules", k)
                args[k] = tuple(self.rule(x, f"{key}.{k}[{i}]", r, k) for i, x in enumerate(v))
        if r.get("stopBy") is not None:
            s = r["stopBy"]
            if s in ("neighbor", "end"):
                args["stop_by"] = s
            elif isinstance(s, _Map):
                args["stop_by"] = self.rule(s, f"{key}.stopBy", r, "stopBy")
            else:
                raise self.fail(r, f"{key}.stopBy", "expected 'neighbor', 'end' or a rule", "stopBy")
        if r.get("range") is not None:
            args["range"] = self.range(r, key)
        return Rule(**args)

    def nth(self, r: _Map, key: str) -> NthChild:
        v = r["nthChild"]
        where = f"{key}.nthChild"
        reverse, of_rule = False, None
        if isinstance(v, _Map):
            for k in v:
                if k not in ("position", "reverse", "ofRule"):
                    raise self.fail(v, f"{where}.{k}", "unknown key (expected position, reverse, ofRule)", k)
            if not isinstance(v.get("reverse", False), bool):
                raise self.fail(v, f"{where}.reverse", "expected true or false", "reverse")
            reverse = v.get("reverse", False)
            if "ofRule" in v:
                of_rule = self.rule(v["ofRule"], f"{where}.ofRule", v, "ofRule")
            if "position" not in v:
                raise self.fail(v, f"{where}.position", "missing (required)")
            r, v = v, v["position"]
            where += ".position"
        try:
            if isinstance(v, bool) or not isinstance(v, int | str) or (isinstance(v, int) and v < 1):
                raise ValueError  # (positions count from 1; `reverse` counts from the last)
            nth_formula(v)
        except ValueError:
            raise self.fail(
                r, where, "expected a position (1, 2, ...) or a formula An+B", "nthChild"
            ) from None
        return NthChild(v, reverse, of_rule)

    def range(self, r: _Map, key: str) -> Range:
        v = r["range"]
        out: list[int] = []
        for end in ("start", "end"):
            p = v.get(end) if isinstance(v, _Map) else None
            if not isinstance(p, _Map):
                raise self.fail(
                    v if isinstance(v, _Map) else r, f"{key}.range.{end}", "expected {line, column}", end
                )
            for k in ("line", "column"):
                x = p.get(k)
                if isinstance(x, bool) or not isinstance(x, int) or x < 0:
                    raise self.fail(p, f"{key}.range.{end}.{k}", "expected a number from 0", k)
                out.append(x)
        return Range(*out)


def _severity(s: str) -> Severity:
    assert s in SEVERITIES
    return s  # type: ignore[return-value]


def parse_rules(text: str, path: str = "<rules>") -> list[RuleConfig]:
    """The rules of a rule file's ``text`` (documents separated by ``---``).

    >>> [c.id for c in parse_rules("id: a\\nlanguage: Python\\nrule: {kind: call}\\n---\\nid: b\\nlanguage: py\\nrule: {regex: x}\\n")]
    ['a', 'b']
    >>> parse_rules("id: a\\nlanguage: python\\nrule:\\n  has: {kind: call, stopBy: far}\\n", "r.yml")
    Traceback (most recent call last):
    ...
    kovel.rules.load.RuleFileError: r.yml:4: rule.has.stopBy: expected 'neighbor', 'end' or a rule
    """
    import yaml

    reader = _Reader(path)
    try:
        docs = list(yaml.load_all(text, Loader=_loader()))  # noqa: S506 - a SafeLoader subclass
    except yaml.YAMLError as exc:
        mark = getattr(exc, "problem_mark", None)
        line = mark.line + 1 if mark is not None else 1
        raise RuleFileError(path, line, "", f"not YAML: {getattr(exc, 'problem', exc)}") from None
    except RecursionError:  # the YAML library reads nested values recursively
        raise RuleFileError(path, 1, "", "the rule file nests values too deeply") from None
    out = []
    for d in docs:
        if d is None:
            continue
        # Aliases share one value among many places: a few lines may stand for
        # billions of values, which reading them as a rule would visit each.
        if _expanded_size(d) > _MOST_VALUES:
            line = d.line if isinstance(d, _Map) else 1
            raise RuleFileError(
                path, line, "", f"the rule stands for more than {_MOST_VALUES} values (through aliases)"
            )
        try:
            config = reader.config(d)
            out.append(dataclasses.replace(config, origin=f"{path}:{line_of(d, 'id')}"))
        except RecursionError:
            raise RuleFileError(
                path, d.line if isinstance(d, _Map) else 1, "", "the rule nests too deeply"
            ) from None
    return out


_MOST_VALUES = 100_000

# A transform written as a call, and its arguments: up to a comma outside quotes and brackets.
_CALL = re.compile(r"(\w+)\s*\((.*)\)", re.S)
_ARGUMENT = re.compile(r"""((?:'[^']*'|"(?:[^"\\]|\\.)*"|\[[^\]]*\]|[^,'"\[])*),""", re.S)


def _argument_value(v: str) -> Any:
    """The value of a transform call's argument: a quoted text, an integer, a
    list of words, or a word; None for what is none of these."""
    if len(v) >= 2 and v[0] == v[-1] and v[0] in "'\"":
        inner = v[1:-1]
        return re.sub(r"\\(.)", r"\1", inner) if v[0] == '"' else inner
    if re.fullmatch(r"-?\d+", v):
        return int(v)
    if v.startswith("[") and v.endswith("]"):
        items = [x.strip() for x in v[1:-1].split(",") if x.strip()]
        return items if all(re.fullmatch(r"[\w$-]+", x) for x in items) else None
    return v if re.fullmatch(r"[\w$-]+", v) else None


def _expanded_size(doc: Any) -> int:
    """How many values ``doc`` holds, each shared one counted wherever it stands."""
    sizes: dict[int, int] = {}
    todo: list[tuple[Any, bool]] = [(doc, False)]
    while todo:
        v, done = todo.pop()
        if id(v) in sizes or not isinstance(v, dict | list):
            continue
        kids = list(v.values()) if isinstance(v, dict) else v
        if done:
            sizes[id(v)] = 1 + sum(sizes.get(id(k), 1) for k in kids)
        else:
            todo.append((v, True))
            todo.extend((k, False) for k in kids if isinstance(k, dict | list) and id(k) not in sizes)
    return sizes.get(id(doc), 1)


def load_rules(path: str) -> list[RuleConfig]:
    """The rules of the rule file at ``path``; ``RuleFileError`` when it cannot be read or is wrong.

    >>> load_rules("/nonexistent.yml")
    Traceback (most recent call last):
    ...
    kovel.rules.load.RuleFileError: /nonexistent.yml:0: cannot read: No such file or directory
    """
    try:
        with open(path, "rb", opener=regular_only) as f:
            data = f.read()
    except OSError as exc:
        raise RuleFileError(path, 0, "", f"cannot read: {exc.strerror or exc}") from None
    try:
        text = data.decode()
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise RuleFileError(path, line, "", f"not UTF-8 text (byte {exc.start})") from None
    return parse_rules(text, path)


def regular_only(path: str, flags: int) -> int:
    """``os.open`` for a file that must be a regular one: a pipe or a device
    (which may never end) is ``OSError``.  Opened without blocking, so that a
    pipe no one writes does not hang the opening."""
    fd = os.open(path, flags | os.O_NONBLOCK)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise OSError(errno.EINVAL, "not a regular file")
    os.set_blocking(fd, True)
    return fd


def _glob_problem(glob: str) -> str | None:
    """What makes ``glob`` no glob, as ast-grep reads one (a ``[`` never closed,
    a ``\\`` escaping nothing), or None.

    >>> _glob_problem("src/[ab]*.py"), _glob_problem("src/[ab*.py"), _glob_problem("a\\\\")
    (None, 'a character class `[` is not closed', 'it ends with a lone backslash')
    """
    i = 0
    while i < len(glob):
        c = glob[i]
        if c == "\\":
            if i + 1 == len(glob):
                return "it ends with a lone backslash"
            i += 2
            continue
        if c == "[":
            j = i + 1
            if j < len(glob) and glob[j] in "!^":
                j += 1
            if j < len(glob) and glob[j] == "]":  # a `]` first is one of the class's characters
                j += 1
            close = glob.find("]", j)
            if close < 0:
                return "a character class `[` is not closed"
            i = close + 1
            continue
        i += 1
    return None


def rule_files(folder: str) -> Iterator[str]:
    """The ``.yml`` and ``.yaml`` files under ``folder``, sorted; hidden ones
    (and those in hidden folders, `.git` say) are passed over, as ast-grep does.

    >>> list(rule_files("/nonexistent"))
    []
    """
    for top, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for f in sorted(files):
            if f.endswith((".yml", ".yaml")) and not f.startswith("."):
                yield os.path.join(top, f)
