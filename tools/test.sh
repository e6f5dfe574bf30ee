#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (CTest) and the Python tests
# against a freshly installed kovel.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"

cmake -S . -B build/cpp -G Ninja -DKOVEL_BUILD_PYTHON=OFF -DKOVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure

"$PYTHON" -m pip install --quiet ".[test]"
# Run from tests/ so the installed package, not the source tree, is imported.
(cd tests && "$PYTHON" -m pytest -q)
