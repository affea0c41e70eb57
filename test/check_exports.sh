#!/usr/bin/env bash
# The library's dynamic symbols must be exactly the functions its export map documents.
set -euo pipefail
library=$1
map=$2
expected=$(grep -E '^\s+[A-Za-z_][A-Za-z0-9_]*;' "$map" | tr -d ' ;' | sort)
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^$' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from $map:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) symbols, as documented"
