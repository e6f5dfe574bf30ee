#!/usr/bin/env bash
# Runs tools/valgrind_check.py under valgrind against the installed kovel and
# fails if a definitely lost block, or any other memory error, has a kovel
# frame (the _kovel module or kovel:: code) in its stack.
# Usage: tools/valgrind.sh [--install] [rounds]   (--install: pip install the repo first)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
if [ "${1:-}" = "--install" ]; then
  "$PYTHON" -m pip install --quiet "$root"
  shift
fi
rounds="${1:-2}"
# The interpreter itself, not a launcher script (valgrind does not follow exec).
PYTHON="$("$PYTHON" -c 'import sys; print(sys.executable)')"
log="$(mktemp -t kovel-valgrind.XXXXXX)"
# Run outside the source tree so that `kovel` is the installed package.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
"$PYTHON" -c 'import kovel._kovel as k; print("checking", k.__file__)'
status=0
PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --error-exitcode=99 --num-callers=50 --log-file="$log" \
  "$PYTHON" "$root/tools/valgrind_check.py" "$rounds" 2>/dev/null || status=$?
grep -E "ERROR SUMMARY|definitely lost:|indirectly lost:|possibly lost:" "$log" | sed 's/^==[0-9]*== *//' || true
if [ "$status" -ne 0 ] && [ "$status" -ne 99 ]; then
  echo "valgrind_check.py failed (exit $status); log: $log"
  exit 1
fi
# One valgrind report per blank-line separated block; keep those that name kovel.
"$PYTHON" - "$log" <<'PY'
import re, sys
text = re.sub(r"^==\d+== ?", "", open(sys.argv[1]).read(), flags=re.M)
blocks = [b for b in text.split("\n\n") if re.search(r"^ +(at|by) ", b, re.M)]
ours = [b for b in blocks if re.search(r"_kovel|kovel::", b)
        and not b.lstrip().startswith(("indirectly", "possibly", "still reachable"))]
for b in ours:
    print(b.strip(), end="\n\n")
print(f"{len(blocks)} valgrind reports, {len(ours)} involving kovel" + (f" (log: {sys.argv[1]})" if ours else ""))
sys.exit(1 if ours else 0)
PY
rm -f "$log"
