#!/usr/bin/env bash
# Starts the built relay in the foreground; the API key comes from the environment
# or from the env file, which is created with a random key when it is missing.
set -euo pipefail
env_file="${1:-/usr/local/etc/mirevo/keys.env}"

if [ -z "${MIREVO_API_KEY:-}" ]; then
  if [ ! -f "$env_file" ]; then
    mkdir -p "$(dirname "$env_file")"
    (umask 077 && printf 'MIREVO_API_KEY=%s\n' "$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')" > "$env_file")
    chmod 600 "$env_file"
    echo "created $env_file with a random API key (MIREVO_API_KEY)"
  fi
  set -a
  # shellcheck disable=SC1090
  . "$env_file"
  set +a
  echo "API key read from $env_file"
fi
exec "$(dirname "$0")/../build/mirevo"
