#!/usr/bin/env bash
# Installs the Maven artifacts built so far into a Maven repository, with Debian's maven, offline:
#
#   scripts/publish.sh [--repository DIR] [--build DIR]...
#
# The artifacts (cmake/artifacts.cmake) are the main jar, the sources jar and the pom of
# io.quarn:quarn-transport-native-kqueue, and one jar per platform classifier (linux-x86_64,
# linux-aarch_64, freebsd-aarch_64), from the build folders given, by default build/release,
# build/cross-aarch64 and build/cross-freebsd-aarch64 (the first that has a classifier wins).
# Each gets .sha1 and .md5 checksums. DIR defaults to the user's local repository (the
# localRepository of ~/.m2/settings.xml, or ~/.m2/repository). Maven and its install plugin come
# from Debian's packages and /usr/share/maven-repo; nothing is downloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
repository=
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --repository) repository=$2; shift 2 ;;
    --build) builds+=("$2"); shift 2 ;;
    *) echo "usage: $0 [--repository DIR] [--build DIR]..." >&2; exit 2 ;;
  esac
done
[ ${#builds[@]} -gt 0 ] || builds=(build/release build/cross-aarch64 build/cross-freebsd-aarch64)
if [ -z "$repository" ]; then
  repository=$(sed -n 's|.*<localRepository>\(.*\)</localRepository>.*|\1|p' "$HOME/.m2/settings.xml" 2>/dev/null || true)
  repository=${repository:-$HOME/.m2/repository}
fi
./scripts/setup.sh maven libmaven-install-plugin-java

version=$(sed -n 's/^project(quarn_transport_native_kqueue VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
artifact=quarn-transport-native-kqueue
base=$artifact-$version
main=
declare -A platform=()
for build in "${builds[@]}"; do
  dir=$build/artifacts
  if [ -z "$main" ] && [ -f "$dir/$base.jar" ] && [ -f "$dir/$base-sources.jar" ] && [ -f "$dir/$base.pom" ]; then
    main=$dir/$base
  fi
  for jar in "$dir/$base"-*.jar; do
    [ -f "$jar" ] || continue
    classifier=${jar##*/"$base"-}
    classifier=${classifier%.jar}
    [ "$classifier" = sources ] || [ -n "${platform[$classifier]:-}" ] || platform[$classifier]=$jar
  done
done
if [ -z "$main" ] || [ ${#platform[@]} -eq 0 ]; then
  echo "no artifacts of version $version in ${builds[*]}: build one first (cmake --preset release && cmake --build --preset release)" >&2
  exit 1
fi

# A scratch local repository for the install plugin, which Debian's repository serves as a file
# repository; offline mode lets only file repositories through. The target stays untouched by it.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/settings.xml" <<EOF
<settings>
  <localRepository>$scratch/repository</localRepository>
  <offline>true</offline>
  <profiles>
    <profile>
      <id>debian</id>
      <repositories>
        <repository><id>central</id><url>file:///usr/share/maven-repo</url>
          <releases><checksumPolicy>ignore</checksumPolicy></releases></repository>
      </repositories>
      <pluginRepositories>
        <pluginRepository><id>central</id><url>file:///usr/share/maven-repo</url>
          <releases><checksumPolicy>ignore</checksumPolicy></releases></pluginRepository>
      </pluginRepositories>
    </profile>
  </profiles>
  <activeProfiles><activeProfile>debian</activeProfile></activeProfiles>
</settings>
EOF
plugins=/usr/share/maven-repo/org/apache/maven/plugins/maven-install-plugin
plugin_version=$(find "$plugins" -name 'maven-install-plugin-*.jar' | sed 's|.*/maven-install-plugin-\(.*\)\.jar|\1|' |
  sort -V | tail -n 1)
[ -n "$plugin_version" ] || { echo "no maven-install-plugin in /usr/share/maven-repo" >&2; exit 1; }
mkdir -p "$repository"
repository=$(cd "$repository" && pwd)
install_file() { # FILE [ARGUMENTS...]
  local file=$1
  shift
  mvn -o -B -Dstyle.color=never -s "$scratch/settings.xml" -gs "$scratch/settings.xml" -Daether.offline.protocols=file \
    "org.apache.maven.plugins:maven-install-plugin:$plugin_version:install-file" -Dfile="$file" \
    -DpomFile="$main.pom" -DlocalRepositoryPath="$repository" "$@" >"$scratch/maven.log" 2>&1 ||
    { cat "$scratch/maven.log"; echo "maven could not install $file" >&2; exit 1; }
}
install_file "$main.jar" -Dsources="$main-sources.jar"
target=$repository/io/quarn/$artifact/$version
installed=("$target/$base.pom" "$target/$base.jar" "$target/$base-sources.jar")
mapfile -t classifiers < <(printf '%s\n' "${!platform[@]}" | sort)
for classifier in "${classifiers[@]}"; do
  install_file "${platform[$classifier]}" -Dclassifier="$classifier"
  installed+=("$target/$base-$classifier.jar")
done

for file in "${installed[@]}"; do
  [ -f "$file" ] || { echo "maven did not install $file" >&2; exit 1; }
  sha1sum "$file" | cut -d ' ' -f 1 >"$file.sha1"
  md5sum "$file" | cut -d ' ' -f 1 >"$file.md5"
  echo "installed $file"
done
