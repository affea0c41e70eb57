#!/usr/bin/env bash
# The Maven artifacts of a build (cmake/artifacts.cmake): the main jar holds the classes and their
# version and no library; the classifier jar holds exactly the library built here and its version
# file under META-INF/native/CLASSIFIER/; the sources jar holds sources only; every manifest names
# its module, title and version; the pom names the coordinates, a licence and no dependency.
#
#   check_artifacts.sh JAR-TOOL ARTIFACTS-DIR VERSION CLASSIFIER LIBRARY
set -euo pipefail
jar_tool=$1
dir=$(cd "$2" && pwd)
version=$3
classifier=$4
library=$(realpath "$5")
name=$(basename "$library")
base=$dir/quarn-transport-native-kqueue-$version
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# entry JAR ENTRY: the entry's text.
entry() { (cd "$work" && rm -rf x && mkdir x && cd x && "$jar_tool" xf "$1" "$2" && cat "$2"); }
manifest() { # JAR MODULE-NAME
  local text
  text=$(entry "$1" META-INF/MANIFEST.MF | tr -d '\r')
  grep -qx "Automatic-Module-Name: $2" <<<"$text" || fail "$(basename "$1"): Automatic-Module-Name is not $2"
  grep -q '^Implementation-Title: .' <<<"$text" || fail "$(basename "$1"): no Implementation-Title"
  grep -qx "Implementation-Version: $version" <<<"$text" || fail "$(basename "$1"): Implementation-Version is not $version"
}

for file in "$base.jar" "$base-sources.jar" "$base-$classifier.jar" "$base.pom"; do
  [ -f "$file" ] || fail "no $file"
done
[ "$failures" -eq 0 ] || exit 1

listing=$("$jar_tool" tf "$base.jar")
grep -qx 'io/quarn/channel/kqueue/NativeLibraryLoader.class' <<<"$listing" || fail "the main jar holds no loader"
grep -q '^META-INF/native/\|\.so$' <<<"$listing" && fail "the main jar holds a library"
[ "$(entry "$base.jar" io/quarn/channel/kqueue/version.properties)" = "version=$version" ] ||
  fail "the classes do not say version $version"
manifest "$base.jar" io.quarn.transport.kqueue

folder=META-INF/native/$classifier
expected=$(printf '%s\n' META-INF/ META-INF/MANIFEST.MF META-INF/native/ "$folder/" "$folder/$name" \
  "$folder/${name%.so}.properties" | sort)
listing=$("$jar_tool" tf "$base-$classifier.jar" | sort)
[ "$listing" = "$expected" ] || fail "the $classifier jar holds $(echo $listing), not $(echo $expected)"
(cd "$work" && "$jar_tool" xf "$base-$classifier.jar" "$folder/$name")
cmp -s "$library" "$work/$folder/$name" || fail "the $classifier jar's library is not the one built"
[ "$(entry "$base-$classifier.jar" "$folder/${name%.so}.properties")" = "version=$version" ] ||
  fail "the $classifier jar's library does not say version $version"
manifest "$base-$classifier.jar" "io.quarn.transport.kqueue.${classifier//-/.}"

listing=$("$jar_tool" tf "$base-sources.jar")
grep -qx 'io/quarn/channel/kqueue/NativeLibraryLoader.java' <<<"$listing" || fail "the sources jar holds no loader source"
grep -q '\.class$' <<<"$listing" && fail "the sources jar holds classes"
manifest "$base-sources.jar" io.quarn.transport.kqueue.sources

pom=$(cat "$base.pom")
for element in '<groupId>io.quarn</groupId>' '<artifactId>quarn-transport-native-kqueue</artifactId>' \
  "<version>$version</version>" '<packaging>jar</packaging>' '<name>' '<description>' '<license>'; do
  grep -qF "$element" <<<"$pom" || fail "the pom has no $element"
done
grep -q '<dependenc' <<<"$pom" && fail "the pom names dependencies"

[ "$failures" -eq 0 ] || exit 1
echo "artifacts $version: main, sources and $classifier jars and the pom, as built"
