# Sourced by the scripts that run Windows programs: one quiet Wine prefix per
# test run, made once, with the settings that keep Wine fast and predictable.
# After sourcing: WINEPREFIX is ready, and wine32_runs says whether 32-bit
# programs really run here.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/zarvel-wine.XXXXXX)
fi
# Once wine32 is installed, the wine command always starts its 32-bit loader;
# on a kernel that cannot run 32-bit programs that fails for every program.
# Then a wrapper on PATH sends everything to the 64-bit loader (and 32-bit
# programs do not run, which wine32_runs reports).
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
  mkdir -p "$WINEPREFIX-bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$WINEPREFIX-bin/$name"
    chmod +x "$WINEPREFIX-bin/$name"
  done
  case ":$PATH:" in *":$WINEPREFIX-bin:"*) ;; *) export PATH="$WINEPREFIX-bin:$PATH" ;; esac
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi
# True when a 32-bit program really runs: without wine32, Wine exits 0 on
# one it cannot run, so the marker the program prints is what counts.
wine32_runs() {
  local dir result
  dir=$(mktemp -d /tmp/zarvel-marker.XXXXXX)
  printf '#include <stdio.h>\nint main(void){puts("zarvel-i686-marker");return 0;}\n' >"$dir/marker.c"
  i686-w64-mingw32-gcc -o "$dir/marker.exe" "$dir/marker.c" 2>/dev/null &&
    wine "$dir/marker.exe" 2>/dev/null | grep -q zarvel-i686-marker
  result=$?
  rm -rf "$dir"
  return $result
}
