#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz_decode, fuzz_roundtrip, fuzz_builder)
# into fuzz/out/, with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
src="$here/../kovel/src"
out="$here/out"
CXX="${CXX_FUZZ:-clang++}"
mkdir -p "$out/obj"
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I"$src")
objs=()
pids=()
targets=(fuzz_decode fuzz_roundtrip fuzz_builder)
for f in "$src"/*.cpp; do
  o="$out/obj/$(basename "${f%.cpp}").o"
  "$CXX" "${flags[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$f" -o "$o" &
  pids+=($!)
  objs+=("$o")
done
for p in "${pids[@]}"; do wait "$p"; done
pids=()
for t in "${targets[@]}"; do
  "$CXX" "${flags[@]}" "$here/$t.cpp" "${objs[@]}" -o "$out/$t" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
echo "built ${targets[*]} in $out"
