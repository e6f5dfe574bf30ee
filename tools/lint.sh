#!/usr/bin/env bash
# Lint and format checks; changes nothing. Runs every check and fails if any
# of them fails:
#   ruff check, ruff format --check  (Python: settings in pyproject.toml)
#   clang-format --dry-run --Werror  (C++: settings in .clang-format)
# Needs ruff (pip install ruff, or the `dev` extra) and clang-format
# (Debian: apt-get install clang-format; the style is checked with version 14).
#
# To apply the fixes instead:
#   python3 -m ruff check --fix python tests examples bench tools
#   python3 -m ruff format python tests examples bench tools
#   clang-format -i $(tools/lint.sh --list-cxx)
set -uo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
CLANG_FORMAT="${CLANG_FORMAT:-clang-format}"

py_paths=(python tests examples bench tools)
# C++ sources; generated tables (*.inc) are left as the generator writes them.
cxx_dirs=(kovel/src kovel/tests kovel_python fuzz bench)
list_cxx() {
  local dirs=()
  for d in "${cxx_dirs[@]}"; do [[ -d "$d" ]] && dirs+=("$d"); done
  find "${dirs[@]}" -path fuzz/out -prune -o -type f \
    \( -name '*.c' -o -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) -print | LC_ALL=C sort
}
if [[ "${1:-}" == "--list-cxx" ]]; then
  list_cxx
  exit 0
fi

failed=()
run() {
  printf '== %s\n' "$*"
  "$@" || failed+=("$*")
}

run "$PYTHON" -m ruff check "${py_paths[@]}"
run "$PYTHON" -m ruff format --check "${py_paths[@]}"
mapfile -t cxx < <(list_cxx)
"$CLANG_FORMAT" --version
run "$CLANG_FORMAT" --dry-run --Werror "${cxx[@]}"

if ((${#failed[@]})); then
  printf '\nFAILED:\n' >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "lint OK"
