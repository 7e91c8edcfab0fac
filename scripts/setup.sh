#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, once.
set -euo pipefail

packages=(cmake ninja-build g++ gcc libgtest-dev jq libexpat1-dev iproute2)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
