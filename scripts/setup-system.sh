#!/usr/bin/env bash
# Installs the system packages the build and the tests need (Debian), only
# those that are missing. Needs root, as on the CI and developer machines.
set -euo pipefail
packages=(g++ cmake ninja-build libssl-dev openssl libgtest-dev clang-format)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
