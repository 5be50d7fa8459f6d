#!/bin/sh
# Draws docs/screens/page-360.png and page-1280.png: the network's page as
# a phone and a desktop browser show it, served by a real grimby-hub of
# the native build holding a few BBSes and their scores. Needs chromium,
# curl and openssl.
# Usage: tools/page-screens-docs.sh
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
hub="$here/build/native/hub/grimby-hub"
out="$here/docs/screens"
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$hub" --init "$work/hub" --host localhost >/dev/null
cat > "$work/hub/hub.json" <<JSON
{"listen":"127.0.0.1","port":0,"certificate":"cert.pem","key":"key.pem",
 "database":"hub.db","release_dir":"releases","port_file":"port","enroll_per_hour":100}
JSON
"$hub" --config "$work/hub/hub.json" 2>"$work/hub.log" &
pid=$!
for _ in $(seq 50); do [ -s "$work/hub/port" ] && break; sleep 0.2; done
url="https://localhost:$(cat "$work/hub/port")"
post() { path=$1; shift; curl -sf --cacert "$work/hub/ca.pem" "$url$path" -H "Content-Type: application/json" "$@"; }
today=$(date -u +%Y%m%d)
seq=0
# A BBS enrolls and uploads its players' runs, signed with its secret.
bbs() {
  name=$1 domain=$2
  shift 2
  secret=$(post /v1/enroll/auto -d "{\"bbs\":\"$name\",\"domain\":\"$domain\"}" |
           sed 's/.*"secret":"\([^"]*\)".*/\1/')
  lines=
  for run in "$@"; do
    seq=$((seq + 1))
    player=${run%:*} score=${run##*:}
    for kind in story daily; do
      lines="$lines${lines:+,}\"grimby\\t$today\\t$player\\t$score\\t$kind\\t1765000000-$seq-$kind-0123456789abcdef.tsv\\n\""
    done
  done
  body="{\"bbs\":\"$name\",\"game\":\"grimby\",\"session\":\"screens0screens0\",\"seq\":1,\"timestamp\":$(date +%s),\"lines\":[$lines]}"
  sig=$(printf '%s' "$body" | openssl dgst -sha256 -hmac "$secret" -r | cut -d' ' -f1)
  post /v1/scores/upload -H "X-Q-Orb-Signature: $sig" -d "$body" >/dev/null
}
bbs "Night Owl" "bbs.nightowl.example:2323" "Lamplighter:21400" "Moth:12500" "Sam Sysop:9040"
bbs "The Copper Vault" "vault.example.net" "Rust:19950" "Penny:15800"
bbs "Harbour Lights BBS" "" "Gull:17300" "Skipper:11020" "Tide:5005"
spki=$(openssl x509 -in "$work/hub/cert.pem" -pubkey -noout | openssl pkey -pubin -outform der |
       openssl dgst -sha256 -binary | base64)
shoot() {
  chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run --hide-scrollbars \
    --user-data-dir="$work/profile-$1" --ignore-certificate-errors-spki-list="$spki" \
    --window-size="$1,$2" --screenshot="$out/page-$1.png" "$url/" >/dev/null 2>&1
}
shoot 360 1400
shoot 1280 1000
echo "wrote $out/page-360.png and $out/page-1280.png"
