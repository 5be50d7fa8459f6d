#!/usr/bin/env bash
# The Debian packages on this machine: installed with dpkg, checked for
# files, owners and modes, the hub run from its unit's ExecStart line with
# the packaged configuration answering a signed poll, a door directory
# played through grimby-launch, then removal and purge. Needs root, and a
# machine where the packages may be installed and purged (CI's is thrown
# away). Usage: tests/deb/deb_test.sh DEB_DIR E2E_TESTS_BINARY
set -euo pipefail
debs=$1 e2e=$2
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
owner_mode() { [ "$(stat -c '%U:%G %a' "$1")" = "$2" ]; }

work=$(mktemp -d)
hub_pid=""
# The system user the package makes stays after a purge, as Debian's do;
# the test takes away only one it made itself.
hub_user_before=$(id -u grimby-hub 2>/dev/null || true)
cleanup() {
  [ -n "$hub_pid" ] && kill "$hub_pid" 2>/dev/null || true
  dpkg --purge grimby grimby-hub >/dev/null 2>&1 || true
  rm -rf /var/lib/grimby-hub "$work"
  userdel grimby-deb-test 2>/dev/null || true
  [ -n "$hub_user_before" ] || { userdel grimby-hub 2>/dev/null; groupdel grimby-hub 2>/dev/null; } || true
}
seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
trap cleanup EXIT

start=$(date +%s.%N)
dpkg -i "$debs"/grimby_*.deb "$debs"/grimby-hub_*.deb
install_seconds=$(seconds_since "$start")

check "door, launcher and set-up installed, root-owned" \
  owner_mode /usr/games/GRIMBY "root:root 755"
check "grimby-launch" owner_mode /usr/bin/grimby-launch "root:root 755"
check "grimby-door-setup" owner_mode /usr/bin/grimby-door-setup "root:root 755"
check "man pages" test -f /usr/share/man/man6/GRIMBY.6.gz -a -f /usr/share/man/man8/grimby-hub.8.gz
check "sysop guide" test -f /usr/share/doc/grimby/sysop-linux.md.gz
check "hub configuration is a conffile" grep -qx /etc/grimby-hub/hub.json /var/lib/dpkg/info/grimby-hub.conffiles
check "hub user is a system user" test "$(id -u grimby-hub)" -lt 1000
check "hub state directory owner-only" owner_mode /var/lib/grimby-hub "grimby-hub:grimby-hub 700"
check "hub key owner-only" owner_mode /var/lib/grimby-hub/key.pem "grimby-hub:grimby-hub 600"
check "hub installed disabled" test ! -e /etc/systemd/system/multi-user.target.wants/grimby-hub.service
unit=/lib/systemd/system/grimby-hub.service
check "systemd-analyze verify" systemd-analyze verify "$unit"

# The hub as its unit starts it, on a free port instead of 443.
sed -i 's/"port": 443,/"port": 0, "port_file": "\/var\/lib\/grimby-hub\/port",/' /etc/grimby-hub/hub.json
read -r -a exec_start < <(sed -n 's/^ExecStart=//p' "$unit")
runuser -u grimby-hub -- "${exec_start[@]}" 2>"$work/hub.log" &
hub_pid=$!
for _ in $(seq 1 100); do [ -s /var/lib/grimby-hub/port ] && break; sleep 0.1; done
port=$(cat /var/lib/grimby-hub/port 2>/dev/null || echo 0)
host=$(openssl x509 -in /var/lib/grimby-hub/cert.pem -noout -subject -nameopt multiline | sed -n 's/ *commonName *= *//p')
https() {
  curl -sS --max-time 10 --cacert /var/lib/grimby-hub/cert.pem --resolve "$host:$port:127.0.0.1" "$@"
}
secret=$(https "https://$host:$port/v1/enroll/auto" -d '{"bbs":"Deb Test BBS"}' |
  sed -n 's/.*"secret":"\([^"]*\)".*/\1/p')
check "enrollment answered" test -n "$secret"
body="{\"bbs\":\"Deb Test BBS\",\"game\":\"grimby\",\"session\":\"0123456789abcdef0123456789abcdef\",\"op\":\"poll\",\"seq\":1,\"timestamp\":$(date +%s),\"player\":\"Ann\",\"caller\":\"$(printf '%064d' 7)\",\"location\":\"playing\",\"cursor\":0}"
signature=$(printf '%s' "$body" | openssl dgst -sha256 -hmac "$secret" -r | cut -d' ' -f1)
reply=$(https -w '\n%{http_code}' "https://$host:$port/v1/chat" -H "X-Q-Orb-Signature: $signature" -d "$body" || true)
check "signed poll answered 200 with a cursor" grep -q '"cursor"' <<<"$reply"
check "signed poll status" test "$(tail -n 1 <<<"$reply")" = 200
kill "$hub_pid"; wait "$hub_pid" || true; hub_pid=""
check "database owner-only" test "$(stat -c %U /var/lib/grimby-hub/hub.db)" = grimby-hub

# A door directory for a BBS user, refused over another door's files.
useradd --system --no-create-home grimby-deb-test 2>/dev/null || true
mkdir -p "$work/doors/other"
touch "$work/doors/other/OTHERDOOR.EXE"
check "another door's directory refused" bash -c "! grimby-door-setup '$work/doors/other' --user grimby-deb-test 2>/dev/null"
check "another door's files untouched" test "$(ls "$work/doors/other")" = OTHERDOOR.EXE
start=$(date +%s.%N)
grimby-door-setup "$work/doors/grimby" --bbs "Deb Test BBS" --user grimby-deb-test
check "door directory owned by the BBS user" owner_mode "$work/doors/grimby" "grimby-deb-test:grimby-deb-test 755"
check "hub directory owner-only" owner_mode "$work/doors/grimby/hub" "grimby-deb-test:grimby-deb-test 700"
check "BBS name set" grep -q '"bbs_name": "Deb Test BBS"' "$work/doors/grimby/grimby.json"
chmod 755 "$work"
check "a caller reaches the lobby through grimby-launch" \
  env GRIMBY_INSTALLED_DOOR_DIR="$work/doors/grimby" "$e2e" --gtest_filter='InstalledDoor.*'
echo "measured: dpkg -i of both packages ${install_seconds} s; grimby-door-setup to a caller back from the lobby $(seconds_since "$start") s"

dpkg --remove grimby grimby-hub
check "removal keeps the hub configuration" test -f /etc/grimby-hub/hub.json
check "removal keeps the door directory" test -f "$work/doors/grimby/grimby.json"
check "removal takes the programs" test ! -e /usr/games/GRIMBY -a ! -e /usr/sbin/grimby-hub
dpkg --purge grimby grimby-hub
check "purge takes the configuration" test ! -e /etc/grimby-hub/hub.json
check "purge keeps the database" test -f /var/lib/grimby-hub/hub.db
dpkg -i "$debs"/grimby-hub_*.deb >/dev/null
GRIMBY_HUB_PURGE_DATABASE=yes dpkg --purge grimby-hub
check "purge on request takes the database" test ! -e /var/lib/grimby-hub

echo "deb_test: $failures failed"
[ "$failures" -eq 0 ]
