#!/usr/bin/env bash
# dev.sh -- the project's one entry point for building, playing and testing.
#
#   ./dev.sh play [door options]  install what is missing, build, and start a
#                                 local session in this terminal
#   ./dev.sh test                 install what is missing, build every preset,
#                                 run every test natively and under Wine
#   ./dev.sh build PRESET         build one preset (native, release, win64, win32)
#   ./dev.sh fuzz [SECONDS]       install clang, build the fuzzers, run each for
#                                 SECONDS (default 60); non-zero on a finding
set -euo pipefail
cd "$(dirname "$0")"

NATIVE_PACKAGES=(cmake ninja-build g++ libgtest-dev pkg-config)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb)
TEST_PACKAGES=(ansilove inetutils-telnet tmux)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are not installed yet; nothing else is
# ever downloaded.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "dev.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -q
  as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
}

ensure_wine() {
  # The 32-bit half of Wine needs the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    as_root apt-get update -q
  fi
  ensure_packages "${WINDOWS_PACKAGES[@]}"
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" ||
    ensure_packages wine32:i386
}

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

# A Wine prefix and a wineserver kept alive for the whole test run, so each
# Windows test process starts in a fraction of a second.
start_wine() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
  mkdir -p "$WINEPREFIX"
  wineserver -p 2>/dev/null || true
  tools/wine-run cmd /c exit >/dev/null 2>&1 || true
}

stop_wine() {
  wineserver -k 2>/dev/null || true
}

cmd_play() {
  ensure_packages "${NATIVE_PACKAGES[@]}"
  build release
  exec build/release/game/GRIMBY -L "$@"
}

cmd_test() {
  ensure_packages "${NATIVE_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  ensure_wine
  build native
  build release
  build win64
  build win32
  local status=0
  # Both presets run a failed test once more: under load Wine has been seen
  # to end a test program before it printed a byte. The first failure's
  # output stays in the log, and a test that fails twice fails the run.
  ctest --preset native || status=1
  start_wine
  trap stop_wine EXIT
  ctest --preset win64 || status=1
  if [ $status -ne 0 ]; then
    echo "dev.sh: tests failed"
  fi
  return $status
}

# Each fuzzer grows its corpus in build/fuzz/corpus/, starting from the
# seeds in tests/fuzz/seeds/; a finding is written to build/fuzz/findings/.
cmd_fuzz() {
  local seconds="${1:-60}"
  ensure_packages "${NATIVE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
  build fuzz
  mkdir -p build/fuzz/findings
  local status=0
  for fuzzer in fuzz_parsers fuzz_session; do
    mkdir -p "build/fuzz/corpus/$fuzzer"
    echo "dev.sh: $fuzzer for ${seconds} s"
    # In build/fuzz: the door kit writes its files in the current directory.
    (cd build/fuzz && tests/fuzz/$fuzzer -max_total_time="$seconds" -timeout=10 -max_len=4096 \
      -artifact_prefix="findings/$fuzzer-" -print_final_stats=1 \
      "corpus/$fuzzer" "../../tests/fuzz/seeds/$fuzzer") || status=1
  done
  [ $status -eq 0 ] || echo "dev.sh: the fuzzers found something: build/fuzz/findings/"
  return $status
}

case "${1:-}" in
  play) shift; cmd_play "$@" ;;
  test) cmd_test ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  build) ensure_packages "${NATIVE_PACKAGES[@]}"; build "${2:?preset}" ;;
  *) sed -n '2,10p' "$0"; exit 2 ;;
esac
