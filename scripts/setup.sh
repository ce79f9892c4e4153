#!/usr/bin/env bash
# Installs what building and testing kivHttp needs, from Debian's packages.
# Safe to run again: when everything is present it only asks dpkg.
set -euo pipefail

packages=(
  build-essential
  cmake
  g++
  pkg-config
  libcurl4-openssl-dev
  libssl-dev
  libcpp-httplib-dev
  googletest
  libgtest-dev
  libbenchmark-dev
  openssl
  ca-certificates
  valgrind
  clang
  libclang-rt-14-dev
)

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: all packages present"
  exit 0
fi

as_root=()
if ((EUID != 0)); then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "setup: missing ${missing[*]}, and not root (no sudo to become it)" >&2
    exit 1
  fi
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
