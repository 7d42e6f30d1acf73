#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing:
# run by `make` and by CI, so a fresh machine needs no other set-up step. With --fuzz, also
# the compiler and runtime of the fuzz drivers (run by `make fuzz`).
set -euo pipefail

packages=(cmake g++ make curl python3 binutils pkg-config libgtest-dev libssl-dev libcrypt-dev
          apache2-utils libmd4c-dev libmd4c-html0-dev)
[ "${1:-}" = --fuzz ] && packages+=(clang-14 libclang-rt-14-dev)
missing=()
for name in "${packages[@]}"; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null)" = installed ] ||
        missing+=("$name")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
