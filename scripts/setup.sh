#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing;
# arguments name further packages.
set -euo pipefail
packages=(openjdk-17-jdk-headless cmake make g++ clang-14 lld libgtest-dev libbenchmark-dev junit5 binutils procps "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
