# Sourced by the GUI scripts: a private Xvfb display and a fresh Wine
# prefix set up for driving dialogs quickly and predictably.
#   gui_env_start WORKDIR   starts both (the prefix lives in WORKDIR/prefix)
#   gui_env_stop            ends the Wine server of that prefix and the display
#   win PATH                the Windows form of a Unix path (scripts/wine-path.sh)
gui_env_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
gui_xvfb_pid=""

source "$gui_env_root/scripts/wine-path.sh"

gui_env_start() {
  local work=$1 n display=""
  export WINEPREFIX=$work/prefix
  for n in $(seq 91 140); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
  done
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  gui_xvfb_pid=$!
  export DISPLAY=":$display"
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  source "$gui_env_root/scripts/wine-env.sh"
  # No window manager decorations or management (faster, predictable
  # placement), no crash dialog that would wait for a click.
  cat >"$work/settings.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
EOF
  wine regedit "$work/settings.reg" >/dev/null 2>&1
  # Wine's own fonts, so dialogs are laid out with real metrics.
  cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf \
     "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
  # One server for the whole run: starting it per program costs seconds.
  wineserver -p 2>/dev/null || true
}

gui_env_stop() {
  wineserver -k 2>/dev/null
  [ -n "$gui_xvfb_pid" ] && kill "$gui_xvfb_pid" 2>/dev/null
  wait "$gui_xvfb_pid" 2>/dev/null
  gui_xvfb_pid=""
}
