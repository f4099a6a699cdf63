# Sourced by the GUI scripts: gui_env_start WORKDIR starts a private Xvfb display and a fresh Wine prefix
# (WORKDIR/prefix) set for driving dialogs quickly, with Wine's visual theme on; gui_env_dpi N sets the display's
# DPI; gui_env_stop ends both; win PATH is a path's Windows form.
gui_env_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd) gui_xvfb_pid=""
source "$gui_env_root/scripts/wine-path.sh"

gui_env_start() {
  export WINEPREFIX=$1/prefix
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" >"$1/xvfb.log" 2>&1 & gui_xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.05; done
  export DISPLAY=:$(cat "$1/display")
  source "$gui_env_root/scripts/wine-env.sh"
  # Windows left unmanaged, their frames drawn by Wine (quick, predictable placement); no crash dialog; themed.
  printf '%s\n' REGEDIT4 '' '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' '"Decorated"="N"' \
    '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' '"ShowCrashDialog"=dword:00000000' \
    '[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\ThemeManager]' '"ThemeActive"="1"' \
    '"DllName"="C:\\windows\\resources\\themes\\light\\light.msstyles"' '"ColorName"="NormalColor"' \
    '"SizeName"="NormalSize"' >"$1/settings.reg"
  wine regedit "$1/settings.reg" >/dev/null 2>&1
  # Wine's own fonts, so dialogs are laid out with real metrics; one server for the whole run.
  cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  wineserver -p 2>/dev/null || true
}

gui_env_dpi() {  # the next programs see a display of $1 DPI
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wineserver -k 2>/dev/null; wineserver -p 2>/dev/null || true
}

gui_env_stop() {
  wineserver -k 2>/dev/null; [ -n "$gui_xvfb_pid" ] && kill "$gui_xvfb_pid" 2>/dev/null && wait "$gui_xvfb_pid" 2>/dev/null
}
