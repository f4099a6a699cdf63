#!/usr/bin/env bash
# Test volume against code volume: non-blank lines of the tracked source files
# (C/C++, Python, shell, CMake, linker and resource scripts, and scripts known
# by their first line). Tests are everything under tests/ and fuzz/ (seed
# corpora excluded); code is every other source file. Prints the figure with
# comment lines and without them; fails when the tests pass 35 % of the code
# by either count.
# Usage: scripts/count-test-lines.sh [LIMIT]   (default 0.35)
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-0.35}
git ls-files -co --exclude-standard | grep -v '^fuzz/corpus/' | while read -r f; do
    [ -f "$f" ] || continue
    [[ $f =~ (\.(c|cc|cpp|h|hpp|py|sh|cmake|ld|rc)|CMakeLists\.txt)$ ]] || head -c 64 "$f" | grep -qE '^#!.*(sh|python)' ||
      continue
    # Comment lines: // /* * in C-like files, # elsewhere (a #! line or a preprocessor line is not one).
    case $f in *.c|*.cc|*.cpp|*.h|*.hpp|*.rc|*.ld) comment='^[[:space:]]*(//|/\*|\*)' ;; *) comment='^[[:space:]]*#($|[^!])' ;; esac
    printf '%s %s %s\n' "$(grep -c '[^[:space:]]' "$f")" "$(grep '[^[:space:]]' "$f" | grep -cvE "$comment")" "$f"
  done |
  awk -v limit="$limit" '
    $3 ~ /^(tests|fuzz)\// { tests += $1; bare_tests += $2; next } { code += $1; bare_code += $2 }
    END { ratio = tests / code; bare = bare_tests / bare_code
          printf "test lines: %d, code lines: %d, ratio %.4f (limit %.2f)\n", tests, code, ratio, limit
          printf "without comment lines: %d against %d, ratio %.4f\n", bare_tests, bare_code, bare
          exit ratio > limit || bare > limit }'
