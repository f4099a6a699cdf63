#!/usr/bin/env bash
# Makes a self-extractor the way the format allows any tool to: the stub, the
# 514-byte configuration block (default directory and follow-up command,
# each NUL-padded to 257 bytes), then a ZIP made by `zip` from SOURCE_DIR;
# `zip -A` then rewrites the archive's offsets as absolute file positions.
# Usage: make-sfx.sh STUB OUT SOURCE_DIR [DEFAULT_DIR [COMMAND [ZIP_OPTIONS...]]]
# With SFX_FILES set (names relative to SOURCE_DIR, blank-separated), exactly
# those files go in, in that order; otherwise the whole tree.
set -euo pipefail
stub=$1 out=$2 source=$3 directory=${4:-} command=${5:-}
shift 3; [ $# -gt 0 ] && shift; [ $# -gt 0 ] && shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -n "${SFX_FILES:-}" ]; then
  # shellcheck disable=SC2086
  (cd "$source" && zip -q -X "$@" "$work/payload.zip" $SFX_FILES)
else
  (cd "$source" && zip -q -r -X "$@" "$work/payload.zip" .)
fi
python3 - "$stub" "$work/payload.zip" "$out" "$directory" "$command" <<'PY'
import sys
stub, payload, out, directory, command = sys.argv[1:6]
def field(text):
    raw = text.encode('latin-1')
    assert len(raw) <= 256, 'a configuration text holds at most 256 characters'
    return raw.ljust(257, b'\0')
with open(out, 'wb') as f:
    f.write(open(stub, 'rb').read())
    f.write(field(directory) + field(command))
    f.write(open(payload, 'rb').read())
PY
zip -q -A "$out"
