#!/usr/bin/env bash
# network.sh -- a whole GRIMBY network on this machine: one score hub with a
# fresh certificate and three BBSes, each its own door directory behind its
# own grimby-launch, enrolled, with shared chat and score sharing on. Ctrl-C
# stops everything it started. Run through ./dev.sh network.
#
#   tools/network/network.sh BUILD_DIR [FIRST_PORT]
#
# BUILD_DIR holds a release build (game/GRIMBY, grimby-launch,
# hub/grimby-hub, workers/GRIMBY-*); the BBSes listen on FIRST_PORT and the
# two ports after it (default 2323), the hub on a port the system picks.
set -euo pipefail

build=$(cd "${1:?build directory}" && pwd)
first_port=${2:-2323}
root="$build/network"
names=("Night Owl" "Harbor Light" "Cellar Door")
pids=()

stop() {
  trap - INT TERM EXIT
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  echo
  echo "network: stopped; its files stay in $root"
}
trap stop INT TERM EXIT

rm -rf "$root"
mkdir -p "$root"

# The hub: a fresh self-signed certificate for localhost, a port of its own.
"$build/hub/grimby-hub" --init "$root/hub" --host localhost >/dev/null
sed -i 's/"listen": "0.0.0.0"/"listen": "127.0.0.1"/; s/"port": 443/"port": 0, "port_file": "port"/' \
  "$root/hub/hub.json"
"$build/hub/grimby-hub" --config "$root/hub/hub.json" 2>"$root/hub/hub.log" &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$root/hub/port" ] && break; sleep 0.1; done
[ -s "$root/hub/port" ] || { echo "network: the hub did not start; see $root/hub/hub.log" >&2; exit 1; }
hub="https://localhost:$(cat "$root/hub/port")"
ca="$root/hub/cert.pem"

# A few results per BBS, queued the way the game queues them, so the
# network boards have something to show before anyone has played.
today=$(date -u +%Y%m%d)
demo_scores() {
  local i=0 player score
  for player in "$@"; do
    i=$((i + 1))
    score=$((RANDOM % 900 + 100))
    printf 'grimby\t%s\t%s\t%d\tstory\t%d-%d-profile-000000000000000%d.tsv\n' \
      "$today" "$player" "$score" "$(date +%s)" "$i" "$i"
    printf 'grimby\t%s\t%s\t%d\tdaily\t%d-%d-profile-000000000000000%d.tsv\n' \
      "$today" "$player" "$((score / 2))" "$(date +%s)" "$((i + 10))" "$i"
  done
}
players=("Ann Bonny" "Ned Low" "Mary Read" "Jack Rackham" "Anne Dieu" "Sam Bellamy")

for n in 0 1 2; do
  door="$root/bbs$((n + 1))"
  name=${names[$n]}
  mkdir -p "$door/hub" "$door/data"
  # The game finds its files beside its program, so each BBS has its own copy.
  cp "$build/game/GRIMBY" "$door/GRIMBY"
  cp "$build/workers/GRIMBY-SYNC" "$door/hub/GRIMBY-SYNC"
  printf '{"hub":"%s","hub_ca":"%s"}\n' "$hub" "$ca" >"$door/grimby.json"
  (cd "$door" && "$build/workers/GRIMBY-CONFIG" --gui-setup --bbs "$name" \
     --domain "localhost:$((first_port + n))" --interbbs Y)
  secret=$(sed -n 's/.*"secret":"\([^"]*\)".*/\1/p' "$door/hub/sync.json")
  printf '{"enabled":true,"bbs":"%s","secret":"%s","url":"%s"}\n' "$name" "$secret" "$hub" >"$door/chat.json"
  chmod 600 "$door/chat.json"
  demo_scores "${players[$((2 * n))]}" "${players[$((2 * n + 1))]}" >>"$door/data/interbbs-outbox.tsv"
done
# Two rounds: every BBS delivers, then every BBS fetches all three.
for round in 1 2; do
  for n in 1 2 3; do (cd "$root/bbs$n" && hub/GRIMBY-SYNC); done
done

for n in 0 1 2; do
  door="$root/bbs$((n + 1))"
  "$build/grimby-launch" --port "$((first_port + n))" \
    --door "$door/GRIMBY" --nodes "$door/nodes" --bbs-name "${names[$n]}" \
    >"$door/launch.log" 2>&1 &
  pids+=($!)
done
for n in 1 2 3; do
  log="$root/bbs$n/launch.log"
  for _ in $(seq 1 50); do grep -q listening "$log" 2>/dev/null && break; sleep 0.1; done
  grep -q listening "$log" || { echo "network: a BBS did not start:" >&2; cat "$log" >&2; exit 1; }
done

echo "network: a score hub at $hub and three BBSes sharing chat and scores:"
for n in 0 1 2; do
  printf '  %-13s telnet 127.0.0.1 %d     (door directory %s)\n' "${names[$n]}" \
    "$((first_port + n))" "$root/bbs$((n + 1))"
done
echo "network: in the game, H then I shows the network's boards and C the shared chat."
echo "network: the network's page is $hub/ (its certificate is signed by $root/hub/ca.pem)."
echo "network: every arrival and exit runs that BBS's hub/GRIMBY-SYNC. Ctrl-C stops it all."
wait
