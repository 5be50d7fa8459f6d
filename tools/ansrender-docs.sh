#!/bin/sh
# ansrender-docs.sh -- renders the screens in docs/screens: the twelve
# lobby screens and the October villain's variants, drawn by the game's
# code (tools/ansrender) and turned into PNGs with ansilove.
#   tools/ansrender-docs.sh [build-dir]     (default build/native)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/native}
render=$build/tools/ansrender
out=docs/screens
command -v ansilove >/dev/null || { echo "ansilove is missing (apt-get install ansilove)" >&2; exit 1; }
[ -x "$render" ] || { echo "$render is missing; build the $build preset first" >&2; exit 1; }
mkdir -p "$out"

png() { # name, ansrender arguments...
  name=$1; shift
  "$render" "$@" > "$out/$name.ans"
  ansilove -q -o "$out/$name.png" "$out/$name.ans" >/dev/null 2>&1 ||
    ansilove -o "$out/$name.png" "$out/$name.ans" >/dev/null
  rm -f "$out/$name.ans"
}

set -- january february march april may june july august september october november december
m=1
for name in "$@"; do
  png "lobby-$(printf %02d $m)-$name" lobby "2026-$(printf %02d $m)-15"
  m=$((m + 1))
done
png lobby-10-october-31-halloween lobby 2026-10-31
png picture-10-october-harvest picture 10
for v in 0 1 2 3 4; do
  png "villain-variant-$v" villain $v
done
for v in 3 4; do
  png "picture-01-january-variant-$v" picture 1 $v
done
echo "rendered into $out"
