#!/usr/bin/env bash
# Installs the built relay, its systemd unit and (once) an env file with a random API key.
#
#   DESTDIR=/some/root scripts/install-service.sh   stage everything below /some/root
#   MIREVO_BINARY=path                                 install this binary (default build/mirevo)
#
# With DESTDIR empty the files go to the live system (root needed) and systemd is
# asked to reload its units; a machine without a running systemd only gets a notice.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
destdir="${DESTDIR:-}"
binary="${MIREVO_BINARY:-$repo/build/mirevo}"
unit_source="$repo/packaging/obrinaxserver.service"
unit_name="obrinaxserver.service"

if [ ! -x "$binary" ]; then
  echo "install-service: no relay binary at $binary (run make build first)" >&2
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

install -d -m 0755 "$destdir/usr/local/bin" "$destdir$unit_dir" "$destdir/usr/local/etc"
install -m 0755 "$binary" "$destdir/usr/local/bin/mirevo"
install -m 0644 "$unit_source" "$destdir$unit_dir/$unit_name"
echo "installed $destdir/usr/local/bin/mirevo and $destdir$unit_dir/$unit_name"

env_file="$destdir/usr/local/etc/mirevo.env"
if [ ! -e "$env_file" ]; then
  key="$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')"
  (umask 077 && printf 'MIREVO_API_KEY=%s\n' "$key" > "$env_file")
  chmod 0600 "$env_file"
  echo "created $env_file with a random API key (MIREVO_API_KEY)"
else
  echo "kept the existing $env_file"
fi

if [ -z "$destdir" ]; then
  if command -v systemctl >/dev/null 2>&1 && systemctl daemon-reload 2>/dev/null; then
    echo "systemd reloaded; start with: systemctl enable --now obrinaxserver"
  else
    echo "systemd is not running here; reload it and start obrinaxserver when it is"
  fi
fi
