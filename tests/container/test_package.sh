#!/usr/bin/env bash
# The Debian package in a throwaway systemd container over this machine's root (overlays on
# empty folders): install, user, key file, port 80, restart, cleanup, upgrade, purge. 77: skipped.
#   tests/container/test_package.sh [package.deb]   without an argument: make deb first
set -euo pipefail

repo="$(cd "$(dirname "$0")/../.." && pwd)"
work=""
nspawn_pid=""
init=""
failures=0

skip() {
  echo "SKIPPED: $*"
  exit 77
}

finish() {
  # Kill the container's systemd first: its PID namespace ends with it.
  [ -n "$init" ] && kill -KILL "$init" 2>/dev/null || true
  if [ -n "$nspawn_pid" ]; then
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  [ -n "$work" ] && rm -rf "$work"
}
trap finish EXIT

[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is missing (package systemd-container)"

deb="${1:-}"
if [ -z "$deb" ]; then
  make -s -C "$repo" deb >/dev/null
  deb="$(ls "$repo"/build-deb/mirevo_*.deb)"
fi

work="$(mktemp -d /tmp/mirevo-test-XXXXXX)"
mkdir -p "$work/up/usr" "$work/up/etc" "$work/up/var" "$work/pkg"
cp "$deb" "$work/pkg/mirevo.deb"

systemd-nspawn -D / --volatile=yes --register=no --keep-unit --private-network -M mirevo-box \
  --overlay=/usr:"$work/up/usr":/usr --overlay=/etc:"$work/up/etc":/etc \
  --overlay=/var:"$work/up/var":/var --bind-ro="$work/pkg":/mnt/pkg \
  -b -- systemd.firstboot=off systemd.unit=basic.target >"$work/nspawn.log" 2>&1 </dev/null &
nspawn_pid=$!

# Booted to basic.target so no host service starts; wait (90 s at most) for its systemd.
state=""
for _ in $(seq 225); do
  kill -0 "$nspawn_pid" 2>/dev/null || skip "systemd-nspawn cannot start here: $(tail -n 3 "$work/nspawn.log")"
  # Asked anew: nspawn's first child only becomes or starts systemd; ps fails until it exists.
  init="$(ps -o pid=,comm= --ppid "$nspawn_pid" | awk '$2 == "systemd" { print $1; exit }' || true)"
  if [ -n "$init" ]; then
    state="$(timeout 5 nsenter -t "$init" -a systemctl is-system-running 2>/dev/null || true)"
    case "$state" in running | degraded) break ;; esac
  fi
  sleep 0.4
done
case "$state" in
  running | degraded) ;;
  *) echo "the container did not boot within 90 s: ${state:-no answer}"; tail -n 20 "$work/nspawn.log"; exit 1 ;;
esac

# A command inside the container, bounded in time.
box() { timeout 60 nsenter -t "$init" -a "$@"; }
check() {
  local what="$1"
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
api() { box curl -s -m 5 -H "Authorization: Bearer $key" -X "$1" "http://127.0.0.1/api/$2"; }
api_up() {
  for _ in $(seq 100); do
    [ "$(api GET routes 2>/dev/null || true)" != "" ] && return 0
    sleep 0.2
  done
  return 1
}
main_pid() { box systemctl show -p MainPID --value obrinaxserver; }

# A policy-rc.d of the host image (as in Docker images) would keep dpkg from starting services.
box rm -f /usr/sbin/policy-rc.d
box dpkg -i /mnt/pkg/mirevo.deb >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
key="$(box sed -n 's/^MIREVO_API_KEY=//p' /etc/mirevo/keys.env)"
keys_before="$(box md5sum /etc/mirevo/keys.env)"
check "the API answers on port 80" api_up
check "a random key of at least 128 bits" grep -Eq '^[0-9a-f]{32,}$' <<<"$key"
check "the key file is root's alone" [ "$(box stat -c '%a %U' /etc/mirevo/keys.env)" = "600 root" ]
check "the relay runs as mirevo" [ "$(box ps -o user= -p "$(main_pid)")" = "mirevo" ]
check "nothing under /usr/local" [ -z "$(box dpkg -L mirevo | grep /usr/local || true)" ]
check "the settings file is a conffile" grep -q /etc/mirevo/mirevo.env <(box dpkg-query -W -f='${Conffiles}' mirevo)
exposure="$(box systemd-analyze security obrinaxserver.service | sed -n 's/.*exposure level for obrinaxserver.service: \([0-9.]*\).*/\1/p')"
check "the unit rates $exposure, at most 2.0" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }'

check "a route is created" [ "$(api POST routes/route)" = '{"route_id":100}' ]
box systemctl restart obrinaxserver
check "the route outlives a restart" [ "$(api_up && api GET routes)" = '{"100":{"enabled":0}}' ]
check "the route file is the service's" [ "$(box stat -c %U /var/lib/mirevo/mirevo-config.json)" = "mirevo" ]
check "the log tail works in the sandbox" grep -q "Server was successfully initialized" <(api GET logs)

before="$(main_pid)"
api POST server/cleanup >/dev/null || true
for _ in $(seq 100); do
  now="$(main_pid)"
  [ "$now" != "0" ] && [ "$now" != "$before" ] && api_up && break
  sleep 0.2
done
check "cleanup ends in a new relay without routes" [ "$(api GET routes)" = '{}' ]
check "the relay that cleaned up is not the one serving" [ "$(main_pid)" != "$before" ]

start="$(date +%s%N)"
box systemctl stop obrinaxserver
stop_ms=$((($(date +%s%N) - start) / 1000000))
check "systemctl stop took ${stop_ms} ms, under 3 s" [ "$stop_ms" -lt 3000 ]

box dpkg -i /mnt/pkg/mirevo.deb >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; exit 1; }
check "an upgrade keeps the key" [ "$(box md5sum /etc/mirevo/keys.env)" = "$keys_before" ]
check "an upgrade leaves the relay running" api_up

box dpkg --purge mirevo >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; exit 1; }
for path in /etc/mirevo /var/lib/mirevo /var/log/mirevo; do
  check "purge removes $path" box test ! -e "$path"
done

[ "$failures" -eq 0 ] || { echo "$failures checks failed"; box journalctl -u obrinaxserver --no-pager | tail -n 30; exit 1; }
echo "all checks passed"
