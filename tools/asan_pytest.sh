#!/usr/bin/env bash
# Runs the Python test suite against an extension built with AddressSanitizer
# and UndefinedBehaviorSanitizer (any UB report is fatal).
# Usage: tools/asan_pytest.sh [pytest args...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
build="$root/build/asan"
CXX="${ASAN_CXX:-g++}"  # GCC: the module links libasan dynamically

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$CXX" \
  -DKOVEL_SANITIZE=address,undefined -DKOVEL_BUILD_TESTS=OFF -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$build"

# A throwaway package: the pure-Python part plus the sanitized module.
pkg="$build/pkg"
rm -rf "$pkg"
mkdir -p "$pkg/kovel"
cp -r "$root/python/kovel/." "$pkg/kovel/"
rm -rf "$pkg/kovel/__pycache__"
cp "$(find "$build" -name "_kovel*.so" -not -path "$pkg/*" | head -n 1)" "$pkg/kovel/"

# The ASan runtime must come first; libstdc++ right after it, so that its
# interceptor of __cxa_throw finds the real one (python itself is C only).
export LD_PRELOAD="$("$CXX" -print-file-name=libasan.so):$("$CXX" -print-file-name=libstdc++.so)"
export PYTHONPATH="$pkg"
export PYTHONMALLOC=malloc  # let ASan see every Python allocation too
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONDONTWRITEBYTECODE=1

cd "$root/tests"
where="$("$PYTHON" -c 'import kovel._kovel as k; print(k.__file__)')"
case "$where" in
  "$pkg"/*) ;;
  *) echo "kovel resolves to $where, not to the sanitized copy" >&2; exit 1 ;;
esac
"$PYTHON" -m pytest -q -p no:cacheprovider "$@"
