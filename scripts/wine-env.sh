# Sourced by the scripts that run Windows programs: one quiet Wine prefix per
# test run, made once, with the settings that keep Wine fast and predictable.
# After sourcing: WINEPREFIX is ready, and ZARVEL_WINE32 is 1 when 32-bit
# programs really run (without wine32, Wine exits 0 on them without running).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/zarvel-wine.XXXXXX)
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi
export ZARVEL_WINE32=0
if [ -e /usr/lib/wine/wine ] || [ -e /usr/lib/i386-linux-gnu/wine ] ||
   dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  ZARVEL_WINE32=1
fi
