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
  zip unzip p7zip-full libarchive-tools osslsigncode openssl locales
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
#
# An i386 library must have exactly the version of its amd64 copy, and
# Debian's i386 security index often lags the amd64 one, so a plain install
# finds no consistent set. Asking for the release's own versions (-t
# CODENAME) settles most of it; what is left shows in a dry run, either as a
# dependency apt gave up on (it is then named explicitly) or as an amd64
# library apt would remove (it and its i386 copy are then held at the
# version both architectures have, which may be a step down from a security
# update). A few rounds of that, then the install itself.
install_wine32() {
  local codename plan name version round progress
  local request=(wine32:i386)
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  local apt_args=(-t "$codename" --no-install-recommends --allow-downgrades)
  for round in 1 2 3 4 5 6; do
    plan=$(apt-get install -s "${apt_args[@]}" "${request[@]}" 2>&1)
    if ! grep -q '^E:' <<<"$plan" && ! grep -q '^Remv ' <<<"$plan"; then
      $SUDO apt-get install -y -q "${apt_args[@]}" "${request[@]}"
      return
    fi
    progress=0
    for name in $(grep -o 'Depends: [^ ]*:i386' <<<"$plan" | awk '{print $2}' | sort -u); do
      [[ " ${request[*]} " == *" $name "* ]] && continue
      request+=("$name")
      progress=1
    done
    for name in $(awk '/^Remv / {print $2}' <<<"$plan"); do
      version=$(apt-cache -t "$codename" policy "$name:i386" 2>/dev/null | awk '/Candidate:/ {print $2}')
      [ -n "$version" ] && [ "$version" != "(none)" ] || continue
      apt-cache madison "$name" 2>/dev/null | awk -F' [|] ' -v v="$version" '$2 == v' | grep -q . || continue
      [[ " ${request[*]} " == *" $name=$version "* ]] && continue
      request+=("$name=$version" "$name:i386=$version")
      progress=1
    done
    [ "$progress" -eq 1 ] || return 1
    echo "install-deps: wine32 round $round: ${request[*]}"
  done
  return 1
}

# One attempt per machine is enough: the marker keeps later runs quick.
marker=/var/tmp/zarvel-wine32-attempted
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  if [ "${ZARVEL_SKIP_WINE32:-0}" != "1" ] && [ ! -e "$marker" ]; then
    touch "$marker" 2>/dev/null || true
    echo "install-deps: trying optional wine32:i386"
    ( $SUDO dpkg --add-architecture i386 &&
      { $SUDO apt-get update -q || true; } &&
      install_wine32 ) >/tmp/zarvel-wine32.log 2>&1 \
      && echo "install-deps: wine32 installed" \
      || echo "install-deps: wine32 not available (i686 programs will not be run); see /tmp/zarvel-wine32.log"
  fi
fi
exit 0
