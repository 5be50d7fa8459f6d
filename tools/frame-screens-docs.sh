#!/bin/sh
# Draws docs/screens/windows-*.png: GRIMBY.exe from the win64 build played
# locally under Wine on a private Xvfb display, the sysop's frame window
# photographed at each step. Needs Xvfb, openbox, xdotool and ImageMagick.
# Usage: tools/frame-screens-docs.sh [display number, default 72]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/docs/screens"
number=${1:-72}
work=$(mktemp -d)
export DISPLAY=":$number" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="$work/prefix"
Xvfb "$DISPLAY" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1
openbox >/dev/null 2>&1 &
wm=$!
cleanup() {
  wineserver -k 2>/dev/null || true
  kill "$wm" "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$here/tools/wine-run" cmd /c exit >/dev/null 2>&1 || true
cp "$here/build/win64/game/GRIMBY.exe" "$work/"
(cd "$work" && "$here/tools/wine-run" GRIMBY.exe -L >/dev/null 2>&1) &
door=$!

key() { xdotool key --delay 60 "$@"; sleep 1; }
say() { xdotool type --delay 60 "$1"; sleep 1; }
# The frame and its dialogs sit at the top left of the screen.
shot() { sleep 0.5; import -window root -crop 660x520+0+0 +repage "$out/$1"; }

sleep 8
shot windows-local-login.png
say "Sam Sysop"; key Return; sleep 2
say n; say Lamplighter; key Return; say y; say f; say 2; sleep 2
xdotool mousemove 1000 700
# Some months ask a question before the lobby.
say g
shot windows-frame-lobby.png
key alt+d; shot windows-frame-door-menu.png; key Escape Escape
key alt+c; say "Evening! The sleigh stage is new this month."; shot windows-frame-chat.png; key Escape
key F10 Right Right Right Down Return; shot windows-frame-about.png; key Return
key alt+x Return
wait "$door" || true
echo "frame-screens-docs: wrote $out/windows-*.png"
