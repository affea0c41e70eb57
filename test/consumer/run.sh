#!/usr/bin/env bash
# The consumer build: scripts/publish.sh installs this build's artifacts into a temporary Maven
# repository, which must then hold exactly them; the Maven project beside this script, which names
# the library by coordinates and classifier only, is built offline by Debian's maven against that
# repository (as a file repository whose checksums must match), and its program runs as built and
# shaded. Nothing reads or writes the user's ~/.m2.
#
#   run.sh SOURCE-DIR BUILD-DIR VERSION CLASSIFIER LIBRARY-FILE-NAME
set -euo pipefail
source=$1
build=$2
version=$3
classifier=$4
library=$5
plain=$library
shaded=libshaded_prefix_${library#lib}
"$source/scripts/setup.sh" maven-build
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/start"
user_m2=$HOME/.m2
export HOME=$work/home
mkdir -p "$HOME"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

"$source/scripts/publish.sh" --repository "$work/repository" --build "$build"
base=io/quarn/quarn-transport-native-kqueue/$version/quarn-transport-native-kqueue-$version
expected=$(for file in "$base.pom" "$base.jar" "$base-sources.jar" "$base-$classifier.jar"; do
  printf '%s\n' "$file" "$file.md5" "$file.sha1"
done
# Maven's own records of what it installed.
printf '%s\n' "io/quarn/quarn-transport-native-kqueue/$version/_remote.repositories" \
  io/quarn/quarn-transport-native-kqueue/maven-metadata-local.xml)
listing=$(cd "$work/repository" && find . -type f | sed 's|^\./||' | sort)
[ "$listing" = "$(sort <<<"$expected")" ] || fail "the repository holds:"$'\n'"$listing"$'\n'"not:"$'\n'"$(sort <<<"$expected")"

cat >"$work/settings.xml" <<EOF
<settings>
  <localRepository>$work/local</localRepository>
  <offline>true</offline>
  <profiles>
    <profile>
      <id>local</id>
      <repositories>
        <repository><id>quarn</id><url>file://$work/repository</url>
          <releases><checksumPolicy>fail</checksumPolicy></releases></repository>
        <repository><id>central</id><url>file:///usr/share/maven-repo</url>
          <releases><checksumPolicy>ignore</checksumPolicy></releases></repository>
      </repositories>
      <pluginRepositories>
        <pluginRepository><id>central</id><url>file:///usr/share/maven-repo</url>
          <releases><checksumPolicy>ignore</checksumPolicy></releases></pluginRepository>
      </pluginRepositories>
    </profile>
  </profiles>
  <activeProfiles><activeProfile>local</activeProfile></activeProfiles>
</settings>
EOF
mkdir -p "$work/consumer"
cp -R "$source/test/consumer/pom.xml" "$source/test/consumer/src" "$work/consumer/"
status=0
mvn -o -B -Dstyle.color=never -s "$work/settings.xml" -gs "$work/settings.xml" -Daether.offline.protocols=file \
  -f "$work/consumer/pom.xml" -Dquarn.version="$version" -Dquarn.classifier="$classifier" verify \
  >"$work/build.log" 2>&1 || status=$?
grep -E '^(loader|library|echo):' "$work/build.log" || true
[ $status -eq 0 ] || { tail -40 "$work/build.log"; fail "the consumer build failed (exit $status)"; }
# A pom Maven cannot read, or a checksum that does not match, is only a warning to Maven.
grep -E 'WARNING.*(POM for io\.quarn|io/quarn|[Cc]hecksum)|WARNING in native method|WARNING: JNI|FATAL ERROR' \
  "$work/build.log" && fail "warnings in the consumer build"

from=$work/local/$base-$classifier.jar
for line in "loader: io.quarn.channel.kqueue.NativeLibraryLoader version $version" \
  "library: $plain from jar:file:$from!/META-INF/native/$classifier/$plain" \
  "loader: shaded.prefix.io.quarn.channel.kqueue.NativeLibraryLoader version $version" \
  "library: $shaded from jar:file:$work/consumer/target/quarn-consumer-1-shaded.jar!/META-INF/native/$classifier/$plain"; do
  grep -qxF "$line" "$work/build.log" || fail "the program did not print: $line"
done
[ "$(grep -c '^echo: .*every byte back as sent$' "$work/build.log")" -eq 2 ] || fail "the program did not echo twice"
if [ -f "$work/consumer/target/quarn-consumer-1-shaded.jar" ]; then
  jar tf "$work/consumer/target/quarn-consumer-1-shaded.jar" | grep '^io/quarn/' && fail "the shaded jar holds unrelocated classes"
fi
if [ -d "$user_m2" ] && [ -n "$(find "$user_m2" -newer "$work/start" -print -quit)" ]; then
  fail "$user_m2 changed during the consumer build"
fi
[ "$failures" -eq 0 ] || exit 1
echo "consumer build: io.quarn:quarn-transport-native-kqueue:$version and :$classifier from a temporary repository, offline; plain and shaded programs echoed"
