#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (CTest) and the Python tests
# against a freshly installed kovel. On a fresh Debian machine it first
# installs what it lacks, as .ci/run does: CMake, Ninja, a C++20 compiler,
# GoogleTest and Python's headers with apt-get (as root, or through sudo).
# Without apt-get, a missing CMake or Ninja comes from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
say() { printf '==> %s\n' "$*"; }

have() { command -v "$1" >/dev/null 2>&1; }

# A compiler that takes -std=c++20: GCC 10 or later, or any clang++ of Debian's.
cxx20() {
  local cxx="${CXX:-c++}"
  have "$cxx" && echo 'int main() { return 0; }' | "$cxx" -std=c++20 -x c++ -o /dev/null - >/dev/null 2>&1
}

python_headers() {
  "$PYTHON" - <<'EOF'
import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
EOF
}

missing=()
have cmake || missing+=(cmake)
have ninja || missing+=(ninja-build)
cxx20 || missing+=(g++)
if have dpkg && ! dpkg -s libgtest-dev >/dev/null 2>&1; then missing+=(libgtest-dev); fi
python_headers || missing+=(python3-dev)

if ((${#missing[@]})); then
  if have apt-get; then
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    say "installing ${missing[*]} with apt-get"
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
  else
    pip_tools=()
    have cmake || pip_tools+=(cmake)
    have ninja || pip_tools+=(ninja)
    if ((${#pip_tools[@]})); then
      say "installing ${pip_tools[*]} with pip"
      "$PYTHON" -m pip install "${pip_tools[@]}"
    fi
    cxx20 || echo "warning: no C++20 compiler found (set CXX); the build will likely fail" >&2
  fi
fi

say "configuring the C++ core tests (CMake)"
cmake -S . -B build/cpp -G Ninja -DKOVEL_BUILD_PYTHON=OFF -DKOVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
say "building the C++ core tests (about a minute the first time)"
cmake --build build/cpp
say "running the C++ core tests (CTest)"
ctest --test-dir build/cpp --output-on-failure

# The test extra holds the Python test dependencies (pytest, hypothesis, grammars).
say "installing kovel and its test dependencies with pip (building the extension takes about a minute)"
"$PYTHON" -m pip install --progress-bar on ".[test]"
say "running the Python tests (pytest)"
# Run from tests/ so the installed package, not the source tree, is imported.
(cd tests && "$PYTHON" -m pytest -q)
