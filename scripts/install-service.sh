#!/usr/bin/env bash
# Installs the built relay, its hardened systemd unit, the settings file and (once) a key file.
#
#   DESTDIR=/some/root scripts/install-service.sh   stage everything below /some/root
#   MIREVO_BINARY=path                                 install this binary (default build/mirevo);
#                                                      the unit is the one CMake made beside it
#
# With DESTDIR empty the files go to the live system (root needed), the user mirevo is made
# and systemd is asked to reload its units; a machine without a running systemd only gets a
# notice. The unit runs the relay as mirevo with its routes in /var/lib/mirevo and day logs in
# /var/log/mirevo.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
destdir="${DESTDIR:-}"
binary="${MIREVO_BINARY:-$repo/build/mirevo}"
unit_source="$(dirname "$binary")/obrinaxserver.service"
unit_name="obrinaxserver.service"
conf_dir="/usr/local/etc/mirevo"

if [ ! -x "$binary" ] || [ ! -f "$unit_source" ]; then
  echo "install-service: no relay binary and unit at $binary (run make build first)" >&2
  exit 1
fi
if ! grep -q "^ExecStart=/usr/local/bin/mirevo$" "$unit_source"; then
  echo "install-service: $unit_source was made for another prefix than /usr/local" >&2
  exit 1
fi
if [ -z "$destdir" ] && [ "$(id -u)" -ne 0 ]; then
  echo "install-service: run as root (or set DESTDIR to stage the files)" >&2
  exit 1
fi

# The unit folder of the local administrator when there is one, else the packaged one.
unit_dir="/etc/systemd/system"
if [ -z "$destdir" ] && [ ! -d "$unit_dir" ] && [ -d /lib/systemd/system ]; then
  unit_dir="/lib/systemd/system"
fi

install -d -m 0755 "$destdir/usr/local/bin" "$destdir$unit_dir" "$destdir$conf_dir"
install -m 0755 "$binary" "$destdir/usr/local/bin/mirevo"
install -m 0644 "$unit_source" "$destdir$unit_dir/$unit_name"
echo "installed $destdir/usr/local/bin/mirevo and $destdir$unit_dir/$unit_name"

if [ ! -e "$destdir$conf_dir/mirevo.env" ]; then
  install -m 0644 "$repo/packaging/mirevo.env" "$destdir$conf_dir/mirevo.env"
fi

# The key file: a random key once, or the key of an install made before the unit was hardened.
keys="$destdir$conf_dir/keys.env"
old_env="$destdir/usr/local/etc/mirevo.env"
if [ ! -e "$keys" ]; then
  if [ -f "$old_env" ] && grep -q '^MIREVO_API_KEY=' "$old_env"; then
    (umask 077 && grep '^MIREVO_' "$old_env" > "$keys")
    echo "created $keys with the keys of $old_env"
  else
    key="$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')"
    (umask 077 && printf 'MIREVO_API_KEY=%s\n' "$key" > "$keys")
    echo "created $keys with a random API key (MIREVO_API_KEY)"
  fi
  chmod 0600 "$keys"
else
  echo "kept the existing $keys"
fi

if [ -z "$destdir" ]; then
  if command -v systemd-sysusers >/dev/null 2>&1; then
    systemd-sysusers "$repo/debian/mirevo.sysusers"
  elif ! id mirevo >/dev/null 2>&1; then
    useradd --system --user-group --home-dir /var/lib/mirevo --shell /usr/sbin/nologin mirevo
  fi
  # Routes of an install made before the unit was hardened move to the service's folder.
  if [ -f /usr/local/etc/mirevo-config.json ] && [ ! -e /var/lib/mirevo/mirevo-config.json ]; then
    install -d -m 0700 -o mirevo -g mirevo /var/lib/mirevo
    install -m 0600 -o mirevo -g mirevo /usr/local/etc/mirevo-config.json /var/lib/mirevo/
    echo "copied the routes of /usr/local/etc/mirevo-config.json to /var/lib/mirevo"
  fi
  if command -v systemctl >/dev/null 2>&1 && systemctl daemon-reload 2>/dev/null; then
    echo "systemd reloaded; start with: systemctl enable --now obrinaxserver"
  else
    echo "systemd is not running here; reload it and start obrinaxserver when it is"
  fi
fi
