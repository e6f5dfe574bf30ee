#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (CTest) and the Python tests
# against a freshly installed kovel. On a fresh Debian machine it first
# installs what the C++ tests need (GoogleTest), as .ci/run does.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"

if command -v dpkg >/dev/null && ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq libgtest-dev >/dev/null
fi

cmake -S . -B build/cpp -G Ninja -DKOVEL_BUILD_PYTHON=OFF -DKOVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure

# The test extra holds every Python test dependency (pytest, hypothesis, grammars).
"$PYTHON" -m pip install --quiet ".[test]"
# Run from tests/ so the installed package, not the source tree, is imported.
(cd tests && "$PYTHON" -m pytest -q)
