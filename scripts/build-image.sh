#!/usr/bin/env bash
# Builds the container image mirevo:<version> from the Debian package with podman, no base
# image pulled, and saves it as build-image/mirevo-<version>.oci.tar for machines without a registry.
#
#   scripts/build-image.sh build-deb/mirevo_<version>_<arch>.deb      (make image)
#
# The root holds the package's relay, tail, the shared libraries both load (from this machine's
# Debian packages, the ones the package depends on), the CA certificates of the ca-certificates
# package, passwd and group lines for the relay's uid, the two volume folders it owns, and the
# copyright files of all of these. No shell. podman's settings come from the environment
# (CONTAINERS_CONF, CONTAINERS_STORAGE_CONF), as for any podman command.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
deb="${1:?usage: build-image.sh package.deb}"
uid=10001
max_bytes=$((40 * 1000 * 1000))
version="$(dpkg-deb -f "$deb" Version)"
image="mirevo:$version"
archive="$repo/build-image/mirevo-$version.oci.tar"

work="$(mktemp -d /tmp/mirevo-image-XXXXXX)"
trap 'rm -rf "$work"' EXIT
root="$work/root"
mkdir -p "$work/context" "$root/etc" "$root/usr/share/doc"

dpkg-deb -x "$deb" "$work/deb"
install -D -m 0755 "$work/deb/usr/bin/mirevo" "$root/usr/bin/mirevo"
install -D -m 0755 /usr/bin/tail "$root/usr/bin/tail"

# Each library at the path the loader found it under (the loader itself included), so the
# loader finds it there again without a cache.
for program in "$root/usr/bin/mirevo" "$root/usr/bin/tail"; do
  if ldd "$program" | grep -q 'not found'; then
    echo "$program needs a library this machine lacks:" >&2
    ldd "$program" | grep 'not found' >&2
    exit 1
  fi
  ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'
done | sort -u >"$work/libraries"

# The licences travel with the binaries: the copyright file of each package that gave a file.
# dpkg knows a file by the path its package names, the loader's or the real one (merged /usr).
while read -r library; do
  install -D -m "$(stat -L -c %a "$library")" "$(realpath "$library")" "$root$library"
  printf '%s\n%s\n' "$library" "$(realpath "$library")"
done <"$work/libraries" | sort -u >"$work/paths"
xargs dpkg -S <"$work/paths" 2>/dev/null >"$work/owners" || true
while read -r library; do
  grep -qF -e ": $library" -e ": $(realpath "$library")" "$work/owners" || {
    echo "$library comes from no Debian package; the image takes libraries from packages only" >&2
    exit 1
  }
done <"$work/libraries"
packages=(mirevo coreutils ca-certificates $(cut -d: -f1 "$work/owners"))
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
  from=/usr/share/doc/$package/copyright
  [ "$package" = mirevo ] && from="$work/deb/usr/share/doc/mirevo/copyright"
  install -D -m 0644 "$from" "$root/usr/share/doc/$package/copyright"
done

# The package's certificates only: the bundle in /etc/ssl/certs may hold CAs this machine's
# administrator added. OpenSSL looks in /usr/lib/ssl, others in /etc/ssl/certs.
bundle=/etc/ssl/certs/ca-certificates.crt
ls /usr/share/ca-certificates/mozilla/*.crt >/dev/null ||
  { echo "install the package ca-certificates" >&2; exit 1; }
mkdir -p "$root/etc/ssl/certs" "$root/usr/lib/ssl"
for cert in /usr/share/ca-certificates/mozilla/*.crt; do
  cat "$cert"
  echo
done | sed '/^$/d' >"$root$bundle"
ln -s "$bundle" "$root/usr/lib/ssl/cert.pem"
ln -s /etc/ssl/certs "$root/usr/lib/ssl/certs"

printf 'root:x:0:0:root:/root:/nonexistent\nmirevo:x:%d:%d:mirevo SRT relay:/var/lib/mirevo:/nonexistent\n' \
  "$uid" "$uid" >"$root/etc/passwd"
printf 'root:x:0:\nmirevo:x:%d:\n' "$uid" >"$root/etc/group"
mkdir -p -m 0755 "$root/var/lib" "$root/var/log"
mkdir -m 0700 "$root/var/lib/mirevo"
mkdir -m 0750 "$root/var/log/mirevo"

# Owned by root but for the two volume folders, which are the relay's; every date is the
# package's, so the same package gives the same image.
epoch="$(stat -c %Y "$work/deb/usr/bin/mirevo")"
(
  cd "$root"
  tar --sort=name --mtime="@$epoch" --numeric-owner --owner=0 --group=0 \
    --exclude=./var/lib/mirevo --exclude=./var/log/mirevo -cf "$work/context/root.tar" .
  tar --mtime="@$epoch" --numeric-owner --owner="$uid" --group="$uid" --no-recursion \
    -rf "$work/context/root.tar" ./var/lib/mirevo ./var/log/mirevo
)

podman build --quiet --format oci --timestamp "$epoch" --build-arg VERSION="$version" \
  -f "$repo/packaging/Containerfile" -t "$image" "$work/context" >/dev/null
size="$(podman image inspect --format '{{.Size}}' "$image")"
if [ "$size" -gt "$max_bytes" ]; then
  echo "$image takes $size bytes, more than 40 MB; the largest files of its root:" >&2
  (cd "$root" && find . -type f -printf '%s %p\n' | sort -rn | head -n 8) >&2
  exit 1
fi
mkdir -p "$(dirname "$archive")"
rm -f "$archive"
podman save --quiet --format oci-archive -o "$archive" "$image"
echo "$image: $((size / 1000)) kB, saved to ${archive#"$repo"/}"
