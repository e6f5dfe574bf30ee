"""The cache of parsed files: hits give the parse's term and errors, damage is repaired, size is bounded."""

import os
from pathlib import Path

import pytest

pytest.importorskip("tree_sitter_python")

from kovel import from_postcard_bytes  # noqa: E402
from kovel.batch import find_files, pycheck, rewrite_files, tasks  # noqa: E402
from kovel.batch.cache import TermCache, _version, prune  # noqa: E402
from kovel.batch.results import apply_changes  # noqa: E402
from kovel.batch.workers import InlineExecutor  # noqa: E402
from kovel.treesitter import language  # noqa: E402
from kovel.treesitter.convert import Parsed, parse_with_errors  # noqa: E402
from tests.helpers import in_threads, write_files  # noqa: E402

SOURCES = [b"x = 1\n", b"def f(:\n  print(1)\n", "s = 'é'\r\nprint(s)\n".encode(), b""]


def entries(root):
    return sorted(Path(d, f) for d, _, fs in os.walk(root) for f in fs)


def forbidden(*args, **kwargs):  # stands for what a hit must not call again
    raise AssertionError("called again")


@pytest.mark.parametrize("data", SOURCES, ids=repr)
def test_a_hit_gives_the_terms_and_errors_of_the_parse(tmp_path, data):
    cache, parsed = TermCache(str(tmp_path)), parse_with_errors("python", data)
    cache.put(cache.key("python", data), parsed)
    hit = cache.get(cache.key("python", data))
    assert (hit.term.postcard_bytes(), hit.errors) == (parsed.term.postcard_bytes(), parsed.errors)
    keys = {cache.key(lang, d) for lang in ("python", "javascript") for d in (data, data + b" ")}
    assert len(keys) == 4  # keys differ by bytes and grammar


# "respelt": a byte changed where the entry still decodes (`print` as `prinT`), which
# would give no match where the file has one.
@pytest.mark.parametrize("damage", [b"", b"kvc1", b"nope" + bytes(40), "cut", "respelt"])
def test_a_damaged_entry_is_a_miss_and_is_written_anew(tmp_path, damage):
    cache, data = TermCache(str(tmp_path)), b"print(1)\n"
    key = cache.key("python", data)
    cache.put(key, parse_with_errors("python", data))
    (path,) = entries(tmp_path)
    blob = path.read_bytes()
    if damage == "respelt":
        path.write_bytes(blob.replace(b"print", b"prinT"))
    else:
        path.write_bytes(blob[:-3] if damage == "cut" else damage)
    assert cache.get(key) is None
    found = tasks.find_task(str(tmp_path / "m.py"), "python", "print($A)", None, data, cache=cache)
    assert [m.text for m in found.matches] == ["print(1)"]
    assert cache.get(key) is not None


# An entry that is no regular file is a miss, read or not: a link to /dev/zero
# would be read without end, a FIFO would block the read.
@pytest.mark.parametrize("special", ["zero", "fifo", "link"])
def test_an_entry_that_is_no_regular_file_is_a_miss(tmp_path, special):
    cache, data = TermCache(str(tmp_path / "c")), b"print(1)\n"
    key = cache.key("python", data)
    cache.put(key, parse_with_errors("python", data))
    (path,) = entries(tmp_path / "c")
    real = tmp_path / "real"
    real.write_bytes(path.read_bytes())
    path.unlink()
    if special == "fifo":
        os.mkfifo(path)
    else:
        path.symlink_to("/dev/zero" if special == "zero" else real)
    assert cache.get(key) is None
    assert cache.get_verdict(key) is None
    found = tasks.find_task(str(tmp_path / "m.py"), "python", "print($A)", None, data, cache=cache)
    assert [m.text for m in found.matches] == ["print(1)"]


# An entry whose term renders other text than the file's (of another length) is
# a miss: no match past the file's end, no rewrite from the other text.
def test_an_entry_of_other_text_is_a_miss(tmp_path):
    cache, data = TermCache(str(tmp_path / "c")), b"print(1)\nx = 2\n"
    key = cache.key("python", data)
    cache.put(key, parse_with_errors("python", data + b"print(2)\nprint(3)\n"))
    (tmp_path / "a.py").write_bytes(data)
    found = tasks.find_task(str(tmp_path / "a.py"), "python", "print($A)", None, data, cache=cache)
    assert [m.text for m in found.matches] == ["print(1)"]
    cache.put(key, parse_with_errors("python", data + b"print(2)\n"))
    done = tasks.rewrite_task(str(tmp_path / "a.py"), "python", "print($A)", "log($A)", None, data, cache)
    assert done.error is None and apply_changes(data, done.changes) == b"log(1)\nx = 2\n"


def test_an_entry_whose_term_renders_nothing_is_a_miss(tmp_path):
    # A `module` with one hole and no child: the core refuses to render it.
    broken = from_postcard_bytes(bytes.fromhex("02") + b"\x06module" + bytes.fromhex("000101"))
    cache, data = TermCache(str(tmp_path / "c")), b"print(1)\nx = 2\n"
    cache.put(cache.key("python", data), Parsed(broken, ()))
    (tmp_path / "a.py").write_bytes(data)
    found = tasks.find_task(str(tmp_path / "a.py"), "python", "print($A)", None, data, cache=cache)
    assert [m.text for m in found.matches] == ["print(1)"]
    done = tasks.rewrite_task(str(tmp_path / "a.py"), "python", "print($A)", "log($A)", None, data, cache)
    assert apply_changes(data, done.changes) == b"log(1)\nx = 2\n"


def test_writers_at_once_leave_whole_entries(tmp_path):
    cache, data, seen = (
        TermCache(str(tmp_path)),
        b"".join(b"x%d = [%d] * 3\n" % (i, i) for i in range(2000)),
        [],
    )
    key, parsed = cache.key("python", data), parse_with_errors("python", data)

    def work():
        for _ in range(20):
            cache.put(key, parsed)
            hit = cache.get(key)
            seen.append(hit is not None and hit.term.postcard_bytes() == parsed.term.postcard_bytes())

    in_threads(4, lambda _: work())
    assert all(seen) and len(seen) == 80
    assert [p.name for p in entries(tmp_path)] == [key]  # no temporary file left


def test_prune_removes_the_least_recently_used_first(tmp_path):
    cache, keys = TermCache(str(tmp_path)), []
    for i in range(6):
        keys.append(cache.key("python", data := b"y = %d\n" % i * 50))
        cache.put(keys[-1], parse_with_errors("python", data))
    for i, k in enumerate(keys):
        os.utime(tmp_path / k[:2] / k, (1000 + i, 1000 + i))
    cache.get(keys[0])  # used now: the newest
    size = os.path.getsize(entries(tmp_path)[0])
    assert prune(str(tmp_path), 3 * size) == 3
    assert [cache.get(k) is not None for k in keys] == [True, False, False, False, True, True]
    assert prune(str(tmp_path), 10**9) == 0


@pytest.mark.parametrize("kind", ["term", "verdict"])
def test_an_entry_under_another_name_is_no_hit(tmp_path, kind):
    # Copied over another file's entry (by hand, or a shared cache): not that file's term.
    cache = TermCache(str(tmp_path))
    a, b = b"print(1)\nfoo()\n", b"x = 5\nprint(2222)\n"
    if kind == "term":
        ka, kb = cache.key("python", a), cache.key("python", b)
        cache.put(kb, parse_with_errors("python", b))
    else:
        ka, kb = cache.verdict_key("compiles", a), cache.verdict_key("compiles", b)
        cache.put_verdict(kb, "")
    (tmp_path / ka[:2]).mkdir(exist_ok=True)
    (tmp_path / ka[:2] / ka).write_bytes((tmp_path / kb[:2] / kb).read_bytes())
    got = (cache.get(ka), cache.get(kb)) if kind == "term" else (cache.get_verdict(ka), cache.get_verdict(kb))
    assert got[0] is None and got[1] is not None


def test_prune_removes_nothing_the_cache_did_not_write(tmp_path):
    # A cache pointed at a folder that holds other files (a project, `~/.cache`).
    others = {
        "src/main.py": "print(1)\n",
        "ab/notes.txt": "x",
        "ab/" + "cd" * 32: "y",
        # named as an entry is, by another content-addressed store (Bazel's, restic's)
        "ab/ab" + "0" * 62: "precious",
        "kv/ab" + "1" * 62: "kvc",
        "top.py": "z",
        "00/.tmp-1": "t",
    }
    for name, body in others.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(body)
        os.utime(tmp_path / name, (1, 1))  # older than any entry
    cache = TermCache(str(tmp_path))
    key = cache.key("python", b"f()\n")
    cache.put(key, parse_with_errors("python", b"f()\n"))
    assert prune(str(tmp_path), 0) == 1
    assert cache.get(key) is None
    assert all((tmp_path / name).read_text() == body for name, body in others.items())


def test_a_run_with_the_cache_gives_what_a_run_without_gives(tmp_path):
    files = {"a.py": "print(1)\nxs.append(2)\n", "b.py": "def f(:\n  print(x)\n", "c.js": "console.log(1);\n"}
    root, cache = write_files(tmp_path / "src", files), tmp_path / "cache"

    def run(cache):
        found = [
            (r.path, [m.text for m in r.matches], r.error)
            for r in find_files([root], "print($$$A)", cache=cache)
        ]
        rewritten = [
            (r.path, r.text() if r.changed else None, r.error, r.errors_before, r.errors_after)
            for r in rewrite_files([root], "print($$$A)", "log($$$A)", executor=InlineExecutor(), cache=cache)
        ]
        return found, rewritten

    cold = run(cache)
    names, terms = {p.name for p in entries(cache)}, TermCache(str(cache))
    assert terms.key("python", files["a.py"].encode()) in names
    assert terms.key("javascript", files["c.js"].encode()) not in names  # no "print": never parsed
    assert run(cache) == cold == run(None)


# Each rewrite is judged by tree-sitter and, for Python, by the compiler: a
# rewrite that the compiler rejects outside a function and takes inside one,
# and one that is fine.
JUDGED = [
    (b"def f():\n    print(1, 2)\n", "return 1"),
    (b"print(1, 2)\n", "return $$$A"),
    (b"print(1, 2)\n", "log($$$A)"),
]


@pytest.mark.parametrize(("data", "rewrite"), JUDGED, ids=repr)
def test_a_hit_is_neither_parsed_nor_judged_again(tmp_path, monkeypatch, data, rewrite):
    cache = TermCache(str(tmp_path))

    def judged():
        r = tasks.rewrite_task("m.py", "python", "print($$$A)", rewrite, None, data, cache)
        return r.errors_after, r.compile_error, r.text()

    plain = tasks.rewrite_task("m.py", "python", "print($$$A)", rewrite, None, data)
    first = judged()
    assert first == (plain.errors_after, plain.compile_error, plain.text())
    # Taken from the cache: neither tree-sitter nor the compiler runs again.
    for module, name in ((tasks, "parse_with_errors"), (tasks, "syntax_errors"), (pycheck, "compile_error")):
        monkeypatch.setattr(module, name, forbidden)
    assert judged() == first
    found = tasks.find_task("m.py", "python", "print($A, 2)", None, data, cache=cache)
    assert [m.text for m in found.matches] == ["print(1, 2)"]
    monkeypatch.undo()
    # A damaged verdict is not believed: it is worked out again.
    for path in entries(tmp_path):
        if (blob := path.read_bytes()).startswith(b"kvv3"):
            path.write_bytes(blob[:-1] + bytes([blob[-1] ^ 1]) if len(blob) > 8 else blob + b"9")
    assert judged() == first


@pytest.mark.parametrize(
    "dist", ["tree-sitter-python", "tree_sitter_c", "tree-sitter", "kovel", "PyYAML", "no-such-dist"]
)
def test_a_key_holds_the_version_the_metadata_gives(dist):
    from importlib import metadata

    try:
        assert _version(dist) == metadata.version(dist)
    except metadata.PackageNotFoundError:
        assert _version(dist) == "?"


# Rewrites whose warm run takes the stored term in parts: the new text is
# spliced, and the term decoded whole only for what needs it (the term kept,
# Go's statements, a verdict not yet known).
WARM = [
    ("python", "def f():\n    if x:\n        print(1,\n              2)\n", "print($$$A)", "if y:\n    log($$$A)"),
    ("python", "x = 1\r\nprint(x)\r\nprint(2)\r\n", "print($A)", "log($A)"),
    ("python", "def f(:\n    print(1)\nprint(2)\n", "print($A)", "log($A)"),  # a syntax error
    ("python", "print(1)\n", "print($A)", "return $A"),  # the compiler refuses it
    ("go", "package m\nfunc f() {\n\tg(x)\n\tdefer g(y)\n}\n", "g($A)", "len($A)"),
    ("javascript", "function f() {\n  console.log(1);\n}\n", "console.log($$$A)", "{\n  logger.info($$$A);\n}"),
    ("typescript", "const s = `${f(1)}`;\nlet x = f(2) as number;\n", "f($A)", "g($A, $A)"),
    ("rust", "fn f() {\n    let a = b.unwrap().c.unwrap();\n}\n", "$X.unwrap()", '$X.expect("x")'),
    ("c", "int main() {\n  return foo(1) + foo(foo(2));\n}\n", "foo($A)", "bar($A)"),
    ("ruby", "x = <<~EOS\n  #{foo(1)}\nEOS\nfoo(2)\n", "foo($X)", "bar($X)"),
    ("bash", "if true; then\n  foo 1\nfi\n", "foo $X", "bar $X"),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "code", "rewrite"), WARM)
@pytest.mark.parametrize("keep_term", [False, True])
def test_a_warm_rewrite_gives_what_a_cold_one_gives(tmp_path, lang, source, code, rewrite, keep_term):
    try:
        language(lang)
    except ValueError:
        pytest.skip(f"no {lang} grammar installed")
    data = source.encode()

    def run(cache):
        r = tasks.rewrite_task("m", lang, code, rewrite, None, data, cache, keep_term)
        text = apply_changes(data, r.changes, r.encoding) if r.changed else None
        assert not keep_term or not r.changed or r.text().encode() == text
        return (text, r.changes, r.error, r.errors_after, r.compile_error, r.term)

    cold = run(None)
    cache = TermCache(str(tmp_path))
    assert run(cache) == cold  # fills the cache
    assert run(cache) == cold
    assert cold[0] is not None or cold[2] is not None
    # A stored term whose parts decode but whose whole does not is parsed again.
    (entry,) = [p for p in entries(tmp_path) if p.name == cache.key(lang, data)]
    entry.write_bytes(entry.read_bytes()[:-1] + b"\xff")
    assert run(cache) == cold
