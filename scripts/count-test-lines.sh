#!/usr/bin/env bash
# Test volume against code volume: non-blank lines of the tracked source files
# (C/C++, Python, shell, CMake, linker and resource scripts, and scripts known
# by their first line). Tests are everything under tests/ and fuzz/ (seed
# corpora excluded); code is every other source file. Fails when the tests
# pass 35 % of the code.
# Usage: scripts/count-test-lines.sh [LIMIT]   (default 0.35)
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-0.35}
git ls-files -co --exclude-standard | grep -v '^fuzz/corpus/' | while read -r f; do
    [ -f "$f" ] || continue
    [[ $f =~ (\.(c|cc|cpp|h|hpp|py|sh|cmake|ld|rc)|CMakeLists\.txt)$ ]] || head -c 64 "$f" | grep -qE '^#!.*(sh|python)' ||
      continue
    printf '%s %s\n' "$(grep -c '[^[:space:]]' "$f")" "$f"
  done |
  awk -v limit="$limit" '
    $2 ~ /^(tests|fuzz)\// { tests += $1; next } { code += $1 }
    END { ratio = tests / code
          printf "test lines: %d, code lines: %d, ratio %.4f (limit %.2f)\n", tests, code, ratio, limit
          exit ratio > limit }'
