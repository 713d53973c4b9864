#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# A no-op when everything is there.  Extra package names may be passed as
# arguments (make bench passes the benchmark-only ones).
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libeigen3-dev libsqlite3-dev sqlite3 libpq-dev postgresql libcli11-dev nlohmann-json3-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libxml2-utils librsvg2-bin
  python3 python3-dev python3-numpy python3-pytest pybind11-dev
  libgdal-dev gdal-bin
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
