#!/usr/bin/env bash
# Installs every Debian package the project needs, for the host build and the
# arm64 cross build. Runs `apt-get update` only when something is missing.
set -euo pipefail

host_packages=(
  build-essential cmake ninja-build pkg-config clang-format
  zlib1g-dev libprotobuf-c-dev protobuf-c-compiler libcurl4-openssl-dev
  nlohmann-json3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 lld-14 llvm-14 libclang-rt-14-dev binutils libunwind-dev
  iproute2 util-linux time openssl
  g++-aarch64-linux-gnu qemu-user
)
arm64_packages=(
  libgtest-dev:arm64 libgmock-dev:arm64 libprotobuf-c-dev:arm64 zlib1g-dev:arm64
  libcurl4-openssl-dev:arm64 libbenchmark-dev:arm64
)

missing() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || echo "$pkg"
  done
}

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  sudo_if_needed dpkg --add-architecture arm64
  force_update=1
fi

todo=($(missing "${host_packages[@]}" "${arm64_packages[@]}"))
if [ "${#todo[@]}" -gt 0 ] || [ -n "${force_update:-}" ]; then
  if [ "${#todo[@]}" -gt 0 ]; then
    echo "installing: ${todo[*]}"
    sudo_if_needed apt-get update -qq
    DEBIAN_FRONTEND=noninteractive sudo_if_needed apt-get install -y -qq --no-install-recommends "${todo[@]}" >/dev/null
  fi
fi
echo "dependencies: all present"
