#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# A no-op when everything is there.  Extra package names may be passed as
# arguments (make bench passes the benchmark-only ones).
#
#   scripts/install-deps.sh --arch arm64 [packages...]
# also installs what the 64-bit Arm cross-build and its emulated tests need
# (make test-arm64): the aarch64 compiler, qemu-user, and the arm64 builds of
# the libraries as multiarch packages, adding arm64 to dpkg's architectures
# when it is not there yet.
set -euo pipefail

arch=""
if [ "${1:-}" = "--arch" ]; then
  arch=${2:?"--arch needs an architecture (arm64)"}
  shift 2
fi
cross=()
case "$arch" in
  "") ;;
  # Debian's libpq-dev is not multi-arch: the arm64 side takes the runtime
  # library only and the build machine's headers (cmake/toolchain-aarch64-linux.cmake).
  # Eigen, CLI11 and nlohmann-json are headers of every architecture.
  arm64) cross=(g++-aarch64-linux-gnu qemu-user
                libsqlite3-dev:arm64 libpq5:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libfmt-dev:arm64) ;;
  *) echo "install-deps: no cross-build for architecture '$arch' (known: arm64)" >&2; exit 2 ;;
esac

packages=(
  cmake make g++ pkg-config
  libeigen3-dev libsqlite3-dev sqlite3 libpq-dev postgresql libcli11-dev nlohmann-json3-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libxml2-utils librsvg2-bin
  python3 python3-dev python3-numpy python3-pytest pybind11-dev
  libgdal-dev gdal-bin
  "${cross[@]}"
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
if [ -n "$arch" ] && ! { [ "$(dpkg --print-architecture)" = "$arch" ] || dpkg --print-foreign-architectures | grep -qx "$arch"; }; then
  $sudo dpkg --add-architecture "$arch"
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
