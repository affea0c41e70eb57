#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing;
# arguments name further packages. maven-build stands for Debian's maven and the plugins of a jar's
# Maven build (test/consumer): install, resources, compiler, jar, shade and exec.
set -euo pipefail
packages=(openjdk-17-jdk-headless cmake make g++ clang-14 lld libgtest-dev libbenchmark-dev junit5 binutils procps)
for p in "$@"; do
  if [ "$p" = maven-build ]; then
    packages+=(maven libmaven-install-plugin-java libmaven-resources-plugin-java libmaven-compiler-plugin-java
      libmaven-jar-plugin-java libmaven-shade-plugin-java libexec-maven-plugin-java)
  else
    packages+=("$p")
  fi
done
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
