#!/usr/bin/env bash
# dev.sh -- the project's one entry point for building, playing and testing.
#
#   ./dev.sh play [door options]  install what is missing, build, and start a
#                                 local session in this terminal
#   ./dev.sh test                 install what is missing, build every preset,
#                                 run every test natively and under Wine, then
#                                 each fuzzer for 30 s
#   ./dev.sh build PRESET         install what PRESET needs and build it
#                                 (native, release, bench, win64, win32, fuzz)
#   ./dev.sh fuzz [SECONDS]       build the fuzzers and run each for SECONDS
#                                 (default 60); non-zero on a finding
#   ./dev.sh network [PORT]       build, then run a score hub and three BBSes
#                                 on this machine (telnet PORT, PORT+1, PORT+2;
#                                 default 2323) until Ctrl-C
#   ./dev.sh deb                  build the Debian packages grimby and
#                                 grimby-hub into build/deb/ and check them
#                                 with lintian
#   ./dev.sh release              build the Windows release into dist/: the
#                                 installer with every file inside and the
#                                 zip; needs GRIMBY_RELEASE_PUBKEY, the
#                                 publisher's public key (DER)
#   ./dev.sh release --test-key   the same with a throw-away key, for tests:
#                                 every name says TESTKEY
set -euo pipefail
cd "$(dirname "$0")"

# What each preset needs from Debian, and what its tests need besides.
# Everything runs as 64-bit code: this kind of machine cannot start a
# 32-bit program, so Wine's 32-bit half is never installed; the 32-bit
# programs are built by the win32 preset and checked without running them.
BASE_PACKAGES=(cmake ninja-build pkg-config)
NATIVE_PACKAGES=(g++ libgtest-dev libcurl4-openssl-dev libcpp-httplib-dev libboost-dev libssl-dev
                 libsqlite3-dev libgoogle-perftools-dev zlib1g-dev openssl ca-certificates)
NATIVE_TEST_PACKAGES=(ansilove inetutils-telnet tmux curl chromium iproute2)
BENCH_PACKAGES=(nginx)   # the hub benchmark's yardstick
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libgtest-dev openssl)
WINDOWS_TEST_PACKAGES=(wine wine64 fonts-wine xvfb openbox xdotool imagemagick x11-utils procps)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
DEB_PACKAGES=(debhelper dpkg-dev lintian)
DEB_TEST_PACKAGES=(adduser systemd)   # the hub package's user; systemd-analyze
RELEASE_PACKAGES=(zip)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# Installs the Debian packages that are not installed yet; nothing else is
# ever downloaded. A mirror in the middle of a sync can leave one package
# index unfetchable: an update that fails is a warning, not the end, and
# only an installation that still fails after three rounds stops the run.
ensure_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "dev.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  local round
  for round in 1 2 3; do
    as_root apt-get update -q -o Acquire::Retries=3 ||
      echo "dev.sh: apt-get update reported a failure (round $round); trying the installation anyway"
    if as_root apt-get install -y -q --no-install-recommends "${missing[@]}"; then
      return 0
    fi
    echo "dev.sh: installing ${missing[*]} failed (round $round of 3)"
    sleep $((round * 10))
  done
  mapfile -t missing < <(missing_packages "$@")
  echo "dev.sh: could not install: ${missing[*]}" >&2
  echo "dev.sh: the package indexes may be mid-sync; run the same command again later" >&2
  exit 1
}

preset_packages() {
  case "$1" in
    native)       echo "${BASE_PACKAGES[@]} ${NATIVE_PACKAGES[@]} ${NATIVE_TEST_PACKAGES[@]}" ;;
    release)      echo "${BASE_PACKAGES[@]} ${NATIVE_PACKAGES[@]}" ;;
    bench)        echo "${BASE_PACKAGES[@]} ${NATIVE_PACKAGES[@]} ${BENCH_PACKAGES[@]}" ;;
    win64|win32|win64-release|win32-release)
                  echo "${BASE_PACKAGES[@]} ${WINDOWS_PACKAGES[@]}" ;;
    fuzz)         echo "${BASE_PACKAGES[@]} ${NATIVE_PACKAGES[@]} ${FUZZ_PACKAGES[@]}" ;;
    *) echo "dev.sh: unknown preset '$1' (native, release, bench, win64, win32, fuzz, win64-release, win32-release)" >&2; exit 2 ;;
  esac
}

build() {
  local list packages preset="$1"
  shift
  list=$(preset_packages "$preset") || exit 2
  read -r -a packages <<<"$list"
  ensure_packages "${packages[@]}"
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset"
}

# The Windows release from this tree: the 64-bit programs, then the 32-bit
# updater and the installer that carries them all, then the zip a BBS
# lists (FILE_ID.DIZ at its root). A release for sysops is signed for
# with the publisher's key only; an updater trusting any other key could
# never be given a real release again, since no release replaces it.
cmd_release() {
  local key="${GRIMBY_RELEASE_PUBKEY:-}" key_args tag=""
  if [ "${1:-}" = "--test-key" ]; then
    key_args=(-DGRIMBY_RELEASE_PUBKEY= -DGRIMBY_RELEASE_TEST_KEY=ON)
    tag="-TESTKEY"
  elif [ -n "${1:-}" ]; then
    sed -n '2,24p' "$0"; exit 2
  elif [ -z "$key" ] || [ ! -f "$key" ]; then
    echo "dev.sh: a release needs the publisher's release-signing public key: set" >&2
    echo "  GRIMBY_RELEASE_PUBKEY=/path/to/release-public.der (see docs/updates.md)," >&2
    echo "  or make a release for tests only with: ./dev.sh release --test-key" >&2
    exit 2
  else
    key_args=(-DGRIMBY_RELEASE_PUBKEY="$(realpath "$key")" -DGRIMBY_RELEASE_TEST_KEY=OFF)
  fi
  ensure_packages "${RELEASE_PACKAGES[@]}"
  build win64-release "${key_args[@]}"
  build win32-release "${key_args[@]}"
  local version setup=build/win32-release/setup/GRIMBY-SETUP.exe
  version=$(head -n 1 release/release.version)
  local name="GRIMBY-SETUP-$version$tag.exe" zip="grimby-$version$tag-windows.zip"
  local diz=release/FILE_ID.DIZ
  [ -n "$tag" ] && diz=build/win32-release/setup/release/FILE_ID.DIZ
  rm -rf dist/stage && mkdir -p dist/stage
  cp "$setup" "dist/$name"
  cp "$setup" dist/stage/GRIMBY-SETUP.exe
  cp "$diz" dist/stage/FILE_ID.DIZ
  cp release/README.md dist/stage/README.md
  rm -f "dist/$zip"
  (cd dist/stage && zip -q -X "../$zip" FILE_ID.DIZ GRIMBY-SETUP.exe README.md)
  rm -rf dist/stage
  echo "dev.sh: dist/$name ($(stat -c %s "dist/$name") bytes)"
  echo "dev.sh: dist/$zip ($(stat -c %s "dist/$zip") bytes)"
  [ -n "$tag" ] && echo "dev.sh: a TEST release: its updater trusts a throw-away key; never give it to a BBS"
  return 0
}

# A virtual display with a window manager for the Windows windows (without
# one every window close costs Wine about 2 s). It must exist before the
# first Wine command: a wineserver started without DISPLAY cannot make
# windows later.
XVFB_PID="" OPENBOX_PID=""
start_display() {
  local n
  for n in $(seq 91 120); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
  local i
  for i in $(seq 1 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  openbox >/dev/null 2>&1 &
  OPENBOX_PID=$!
}

# A Wine prefix and a wineserver kept alive for the whole test run, so each
# Windows test process starts in a fraction of a second.
start_wine() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
  mkdir -p "$WINEPREFIX"
  wineserver -p 2>/dev/null || true
  tools/wine-run cmd /c exit >/dev/null 2>&1 || true
  # Wine's desktop process inherits the standard handles of the program
  # that starts it; started by a test, it would hold the test runner's pipe
  # open past the test's end (a pass that times out). The keeper starts it
  # first, with nothing on its handles, and keeps it for the whole run.
  tools/wine-run build/win64/tests/desktop-keeper.exe </dev/null >/dev/null 2>&1 &
  local i
  for i in $(seq 1 50); do
    pgrep -f 'explorer.exe /desktop' >/dev/null && break
    sleep 0.1
  done
}

stop_wine_and_display() {
  wineserver -k 2>/dev/null || true
  [ -n "$OPENBOX_PID" ] && kill "$OPENBOX_PID" 2>/dev/null || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
}

cmd_play() {
  build release
  exec build/release/game/GRIMBY -L "$@"
}

cmd_network() {
  build release
  exec tools/network/network.sh build/release "$@"
}

cmd_test() {
  ensure_packages "${WINDOWS_TEST_PACKAGES[@]}"
  build native
  build release
  build bench
  build win64
  build win32
  local status=0
  # Some native tests drive Windows programs under Wine (the chat and the
  # updater against a hub on this side), so Wine is up before either run.
  start_display
  start_wine
  trap stop_wine_and_display EXIT
  # Native tests run once: a flake there is a fault to find, not to retry.
  ctest --preset native --output-log build/native/ctest.log || status=1
  # The packages, installed, played and purged on this machine (as root:
  # CI's machine is thrown away afterwards).
  ensure_packages "${DEB_TEST_PACKAGES[@]}"
  { cmd_deb && as_root tests/deb/deb_test.sh build/deb build/native/tests/e2e_tests; } 2>&1 |
    tee build/deb-test.log || status=1
  # The Wine preset runs a failed test once more: under load Wine has been
  # seen to end a test program before it printed a byte. The first
  # failure's output stays in the log, and a test that fails twice fails.
  ctest --preset win64 --output-log build/win64/ctest.log || status=1
  stop_wine_and_display
  trap - EXIT
  cmd_fuzz 30 || status=1
  test_summary
  if [ $status -ne 0 ]; then
    echo "dev.sh: tests failed"
  fi
  return $status
}

# The fuzzers' output is long: what failed, and what passed only on its
# second try, is said again at the very end where a reader looks first.
test_summary() {
  local preset
  echo "dev.sh: summary"
  if [ -f build/deb-test.log ]; then
    grep -E '^(deb_test:|FAILED:|measured:)' build/deb-test.log | sed 's/^/  deb: /' || true
  else
    echo "  deb: no test log"
  fi
  for preset in native win64; do
    local log="build/$preset/ctest.log"
    [ -f "$log" ] || { echo "  $preset: no test log"; continue; }
    grep -E '^[0-9]+% tests passed' "$log" | sed "s/^/  $preset: /" || true
    grep -E '\*\*\*(Failed|Timeout|Exception)|\(Failed\)|\(Timeout\)|Not Run' "$log" |
      sed "s/^ */  $preset: /" || true
  done
}

# Each fuzzer grows its corpus in build/fuzz/corpus/, starting from the
# seeds in tests/fuzz/seeds/; a finding is written to build/fuzz/findings/
# and fails the run.
cmd_fuzz() {
  local seconds="${1:-60}"
  build fuzz
  mkdir -p build/fuzz/findings
  local status=0
  for fuzzer in fuzz_parsers fuzz_session fuzz_manifest fuzz_chat; do
    mkdir -p "build/fuzz/corpus/$fuzzer"
    echo "dev.sh: $fuzzer for ${seconds} s"
    # In build/fuzz: the door kit writes its files in the current directory.
    (cd build/fuzz && tests/fuzz/$fuzzer -max_total_time="$seconds" -timeout=10 -max_len=4096 \
      -artifact_prefix="findings/$fuzzer-" -print_final_stats=1 \
      "corpus/$fuzzer" "../../tests/fuzz/seeds/$fuzzer") || status=1
  done
  if [ $status -eq 0 ]; then
    echo "dev.sh: the fuzzers found nothing"
  else
    echo "dev.sh: the fuzzers found something: build/fuzz/findings/"
  fi
  return $status
}

# The packages are built from the tracked files alone, as from a clean
# clone, in a fresh copy whose path does not matter: two builds of one
# commit give byte-identical packages.
cmd_deb() {
  local list packages
  list=$(preset_packages release) || exit 2
  read -r -a packages <<<"$list"
  ensure_packages "${packages[@]}" "${DEB_PACKAGES[@]}"
  local version
  version=$(head -n 1 release/release.version)
  local out="build/deb" src="build/deb/grimby-$version"
  rm -rf "$out"
  mkdir -p "$src"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$src"
  else
    tar --exclude=./build -cf - . | tar -xf - -C "$src"
  fi
  cp -r packaging/debian "$src/debian"
  export SOURCE_DATE_EPOCH
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || stat -c %Y release/release.version)
  {
    echo "grimby ($version) unstable; urgency=medium"
    echo
    echo "  * Release $version."
    echo
    echo " -- GRIMBY developers <grimby@hub.grimby.example>  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
  } >"$src/debian/changelog"
  # A compiler cache that rewrites paths below a base directory would undo
  # -ffile-prefix-map, and the build path would reach the build ids.
  (cd "$src" && CCACHE_BASEDIR= DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc)
  # lintian runs as root only when told to (CI runs as root).
  local lintian_root=()
  [ "$(id -u)" -eq 0 ] && lintian_root=(--allow-root)
  lintian "${lintian_root[@]}" --fail-on error "$out"/grimby_"$version"_*.changes
  ls -l "$out"/*.deb
}

case "${1:-}" in
  play) shift; cmd_play "$@" ;;
  test) cmd_test ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  network) shift; cmd_network "$@" ;;
  build) build "${2:?preset}" ;;
  deb) cmd_deb ;;
  release) shift; cmd_release "$@" ;;
  *) sed -n '2,24p' "$0"; exit 2 ;;
esac
