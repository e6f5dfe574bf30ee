#!/usr/bin/env bash
# Builds the sdist and the wheel (the wheel from the sdist, so the sdist is
# known to hold everything the build needs), audits the wheel's stable-ABI use,
# installs it into a fresh virtual environment and checks it there: import,
# pickling, the type stubs against the runtime module (stubtest) and
# `mypy --strict` over the examples.
#
# Usage: tools/check_package.sh   (PYTHON selects the interpreter, default python3;
# KEEP_WORK=1 keeps the scratch directory with dist/ and the venv)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
PYTHON="${PYTHON:-python3}"

work="$(mktemp -d "${TMPDIR:-/tmp}/kovel-package.XXXXXX")"
if [[ -z "${KEEP_WORK:-}" ]]; then trap 'rm -rf "$work"' EXIT; else echo "scratch: $work"; fi
step() { printf '\n== %s\n' "$*"; }

step "tools"
"$PYTHON" -c 'import build, abi3audit' 2>/dev/null ||
  "$PYTHON" -m pip install --quiet "build>=1.2" "abi3audit>=0.0.20"

step "build sdist, then the wheel from it"
"$PYTHON" -m build --outdir "$work/dist" "$root" >"$work/build.log" 2>&1 || {
  cat "$work/build.log"
  exit 1
}
tail -n 1 "$work/build.log"
shopt -s nullglob
sdists=("$work"/dist/*.tar.gz)
wheels=("$work"/dist/*.whl)
shopt -u nullglob
if ((${#sdists[@]} != 1 || ${#wheels[@]} != 1)); then
  echo "expected one sdist and one wheel, got: $(ls "$work/dist")" >&2
  exit 1
fi
wheel="${wheels[0]}"
wheel_name="$(basename "$wheel")"
echo "sdist: $(basename "${sdists[0]}")"
echo "wheel: $wheel_name"
if ! [[ "$wheel_name" =~ ^kovel-[^-]+-cp311-abi3-(linux|manylinux[0-9_]*|musllinux_[0-9]+_[0-9]+)_[a-z0-9_]+\.whl$ ]]; then
  echo "the wheel is not a single cp311-abi3 Linux wheel: $wheel_name" >&2
  exit 1
fi
# The wheel must ship the extension (one library: `_native` lives in `_kovel`'s),
# the package and its subpackages, the stubs and the typing marker.
"$PYTHON" - "$wheel" <<'EOF'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
want = {"kovel/__init__.py", "kovel/_kovel.abi3.so", "kovel/_kovel.pyi", "kovel/py.typed",
        "kovel/_native.pyi", "kovel/tree.py",
        "kovel/treesitter/__init__.py", "kovel/quasi/__init__.py", "kovel/batch/__init__.py",
        "kovel/cli/__init__.py", "kovel/cli/__main__.py"}
missing = sorted(want - names)
if missing:
    sys.exit(f"missing from the wheel: {missing}")
libraries = sorted(n for n in names if n.endswith(".so"))
if libraries != ["kovel/_kovel.abi3.so"]:
    sys.exit(f"expected one extension library, got: {libraries}")
EOF

step "abi3audit --strict"
"$PYTHON" -m abi3audit --strict --summary "$wheel"
"$PYTHON" -m abi3audit --strict --report --output "$work/abi3.json" "$wheel"
"$PYTHON" - "$work/abi3.json" <<'EOF'
import json, sys
specs = json.load(open(sys.argv[1]))["specs"]
results = [ext["result"] for spec in specs.values() for ext in spec.get("wheel", [])]
assert len(results) == 1, results
for r in results:
    assert r["is_abi3"] and r["is_abi3_baseline_compatible"], r
    assert r["baseline"] == "3.11" and not r["non_abi3_symbols"] and not r["future_abi3_objects"], r
    print(f"abi3 baseline {r['baseline']}, symbols need at most {r['computed']}")
EOF

step "install into a fresh virtual environment"
"$PYTHON" -m venv "$work/venv"
vpy="$work/venv/bin/python"
"$vpy" -m pip install --quiet --disable-pip-version-check "$wheel"
# Run from the scratch directory so nothing from the source tree is imported.
cd "$work"
"$vpy" - <<'EOF'
import pickle, sys
import kovel._native
import kovel
from kovel import _kovel, _native
assert kovel.__file__.startswith(sys.prefix), kovel.__file__
assert _kovel.__file__.endswith("_kovel.abi3.so"), _kovel.__file__
assert _native is kovel._native is sys.modules["kovel._native"] and _native.__file__ == _kovel.__file__
t = kovel.tb("x").b()
assert type(t) is kovel.KTerm and str(t) == ""
q = kovel.quote("q", 0, "py", kovel.klift(3), [kovel.cmd(kovel.write("(")), kovel.HOLE, kovel.cmd(kovel.write(")"))])
assert str(q) == "(3)" and q.reduce() == 3
assert pickle.loads(pickle.dumps(q)).postcard_bytes() == q.postcard_bytes()
assert kovel.__all__ == _kovel.__all__ and all(getattr(kovel, n) is getattr(_kovel, n) for n in kovel.__all__)
print(f"kovel imports and works from {kovel.__file__}")
EOF

step "the default install runs the command on the common languages"
mkdir "$work/code"
printf 'print(1)\n' >"$work/code/a.py"
printf 'print(2);\n' >"$work/code/b.js"
printf 'package main\n\nfunc main() { print(3) }\n' >"$work/code/c.go"
printf 'fn main() { print(4); }\n' >"$work/code/d.rs"
found="$("$work/venv/bin/kovel" find -p 'print($A)' "$work/code")"
echo "$found"
if [[ "$(wc -l <<<"$found")" != 4 ]]; then
  echo "expected a match in each of the four files" >&2
  exit 1
fi

step "stubtest and mypy --strict examples/"
"$vpy" -m pip install --quiet --disable-pip-version-check "mypy>=1.13" "types-PyYAML>=6"
"$vpy" -m mypy.stubtest kovel --allowlist "$root/tools/stubtest_allowlist.txt"
"$vpy" -m mypy --strict --config-file "$root/pyproject.toml" --cache-dir "$work/mypy_cache" "$root/examples"

step "package OK: $wheel_name"
