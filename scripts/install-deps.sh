#!/usr/bin/env bash
# Installs everything the builds and tests need, with apt-get, on Debian 12.
# Idempotent: packages already present are left alone. The 32-bit Wine part is
# optional and tried last, because Debian's i386 index is often out of step and
# must never make the whole install fail.
set -u

NEEDED=(
  cmake g++ make ninja-build pkg-config python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 fonts-wine xvfb xdotool x11-apps x11-utils imagemagick
  zip unzip p7zip-full libarchive-tools osslsigncode openssl
  libdeflate-dev zlib1g-dev
  clang libclang-rt-14-dev valgrind
)

missing=()
for p in "${NEEDED[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -q || true
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" || {
    echo "install-deps: apt-get install failed" >&2
    exit 1
  }
else
  echo "install-deps: all required packages present"
fi

# Optional: 32-bit Wine, so that the i686 build can run its tests too.
# One attempt per machine is enough: the marker keeps later runs quick.
marker=/var/tmp/zarvel-wine32-attempted
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  if [ "${ZARVEL_SKIP_WINE32:-0}" != "1" ] && [ ! -e "$marker" ]; then
    touch "$marker" 2>/dev/null || true
    echo "install-deps: trying optional wine32:i386"
    ( $SUDO dpkg --add-architecture i386 &&
      { $SUDO apt-get update -q || true; } &&
      $SUDO apt-get install -y -q --no-install-recommends wine32:i386 ) >/tmp/zarvel-wine32.log 2>&1 \
      && echo "install-deps: wine32 installed" \
      || echo "install-deps: wine32 not available (i686 programs will not be run); see /tmp/zarvel-wine32.log"
  fi
fi
exit 0
