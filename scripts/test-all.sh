#!/usr/bin/env bash
# Builds everything and runs every test: the native suite through ctest, then
# the cross-compiled core tests under 64-bit Wine (and the 32-bit ones when
# wine32 is really there). Prints which builds ran.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build-all.sh
status=0
echo "== native tests"
ctest --test-dir build/native --output-on-failure -j "$(nproc)" || status=1
fixtures=build/native/fixtures
# The large suite (a 5 GiB member; 4 to 5 minutes, mostly disk and its own Wine prefix and display) runs beside
# everything that follows; its report comes last.
large=
if [ "${ZARVEL_LARGE_TESTS:-1}" = 1 ]; then
  bash tests/large/run-large-tests.sh build/native build/x86_64 > build/large.log 2>&1 &
  large=$!
fi
# One Wine prefix for the core tests of both Windows builds, removed at the end when this run made it (700 MB).
made_prefix=${WINEPREFIX:+given}
source scripts/wine-env.sh
[ -n "$made_prefix" ] || trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX" "$WINEPREFIX-bin"' EXIT
echo "== x86_64 tests under 64-bit Wine"
bash scripts/run-wine-tests.sh build/x86_64 "$fixtures" || status=1
ran="native, x86_64 (64-bit Wine)"
if wine32_runs; then
  echo "== i686 tests under 32-bit Wine"
  bash scripts/run-wine-tests.sh build/i686 "$fixtures" || status=1
  ran="$ran, i686 (32-bit Wine: core tests and the release stub's GUI suite)"
else
  echo "== i686 tests not run: 32-bit Wine is not available (the stub is checked as a file only)"
fi
echo "== stub binaries: an ordinary image, imports, ASLR and DEP, manifest, version, icons, size (i686: 31 KiB)"
bash tests/gui/check-stub-binary.sh build/i686 i686 || status=1
bash tests/gui/check-stub-binary.sh build/x86_64 x86_64 || status=1
echo "== the i686 stub built with Unix Makefiles is the one Ninja built, byte for byte"
cmake -S . -B build/i686-make -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DZARVEL_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake >/dev/null
cmake --build build/i686-make --target zarvel-stub -j "$(nproc)" >/dev/null
cmp build/i686/zarvel-stub.exe build/i686-make/zarvel-stub.exe || status=1
echo "== GUI tests: the x86_64 stub under 64-bit Wine and Xvfb, the i686 stub under 32-bit Wine where it runs"
bash tests/gui/run-gui-tests.sh build/x86_64 build/x86_64/gui-results || status=1
# ---- robustness (scripts/sanitize.sh, scripts/fuzz.sh): about 8 minutes on 2 cores ----
echo "== unit suite under ASan, UBSan and LeakSanitizer (the leak check)"
bash scripts/sanitize.sh || status=1
echo "== fuzz targets: archive reader and engine, decoder, 45 s each"
bash scripts/fuzz.sh 45 || status=1
# ---- end of robustness ----
echo "== members past 4 GiB: a 5 GiB member through zarvel, the other readers and the x86_64 stub under Wine"
if [ -n "$large" ]; then
  wait "$large" || status=1
  cat build/large.log
  ran="$ran, the large suite"
else
  echo "(skipped: ZARVEL_LARGE_TESTS=0)"
fi
echo "== builds tested: $ran"
echo "== test volume: tests/ and fuzz/ against the rest of the sources (at most 0.35)"
bash scripts/count-test-lines.sh || status=1
exit $status
