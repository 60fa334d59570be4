#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, when they are missing.
# Needs root (CI runs as root); prints what it installs.
set -euo pipefail
pkgs=(cmake make g++ g++-multilib qemu-user g++-mingw-w64-i686 binutils-mingw-w64-i686
      googletest clang libclang-rt-14-dev valgrind librsvg2-bin python3 rapidjson-dev
      libsqlite3-dev sqlite3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: need root to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
