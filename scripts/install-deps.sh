#!/usr/bin/env bash
# Installs the build tools, libraries and test peers the relay needs; quiet when all are present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsrt-openssl-dev libwebsockets-dev libjansson-dev libssl-dev
  googletest libgtest-dev
  clang libclang-rt-14-dev
  srt-tools ffmpeg curl gnuplot-nox procps
  prometheus chromium chromium-driver python3-selenium
  heaptrack
  debhelper dpkg-dev lintian fakeroot openssl systemd systemd-container
  libcurl4-openssl-dev gstreamer1.0-tools gstreamer1.0-plugins-bad
  podman runc buildah catatonit python3-yaml iproute2
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
