#!/usr/bin/env bash
# Fills fuzz/corpus/<target>/ with seed inputs taken from the project's own files. Run it once
# when a target is added; afterwards the corpora grow by fuzzing and are kept in the project.
# Files over 100 KB are cut to their first 100 KB, so every seed stays quick to run.
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$root/fuzz/corpus
cd "$root"

seed() {  # seed TARGET FILE...
  local target=$1; shift
  mkdir -p "$out/$target"
  for f in "$@"; do
    local name
    name=$(echo "$f" | tr '/' '_')
    head -c 102400 "$f" >"$out/$target/$name"
  done
}

ini=$(find tests/fixtures data/engines -name '*.ini' -o -name '*.cat' | sort | head -n 30 || true)
html=$(find tests/fixtures -name '*.html' | sort)

# The token splitter reads definition lines and script states.
seed token_splitter $(find tests/fixtures -name '*.states' | sort | head -n 12) $(echo "$ini" | head -n 12)
seed profile_file $ini
seed page_scanner $html
seed upgrade_list data/engines/demo/manifest.txt
seed json browser/manifest.json
# The requests the bridge's own tests send.
i=0
grep -ohE 'R"\(\{[^)]*\}\)"' tests/tools/bridge/*.cpp | sort -u | head -n 20 |
  while read -r r; do
    i=$((i + 1))
    r=${r#R\"(}
    printf '%s' "${r%)\"}" >"$out/json/request_$i"
  done

# Addresses: every http(s) address the fixtures name, a few per file, one per seed; a link and
# the page it was found on are separated by a line break.
mkdir -p "$out/url"
i=0
{ grep -rhoE "https?://[^\"' <>]{1,200}" tests/fixtures data/engines || true; } | sort -u | head -n 40 |
  while read -r u; do
    i=$((i + 1))
    printf '%s\n/x/../y?q=1&amp;r=2#f' "$u" >"$out/url/address_$i"
  done

# Update lists as the update server answers them, made from its manifest.
grep -v '^#' data/engines/demo/manifest.txt |
  awk -F'|' '{n=split($1,p,"/"); f=p[n]; d=(n>1)?p[1]:""; print d "|" f "|" $2 "|"}' |
  { echo 0; cat; } >"$out/upgrade_list/demo_list"

# Bridge frames: each JSON seed behind its length header, two frames in a row.
mkdir -p "$out/bridge_frame"
for f in "$out"/json/*; do
  python3 - "$f" "$out/bridge_frame/$(basename "$f")" <<'PY'
import struct, sys
body = open(sys.argv[1], 'rb').read()
frame = struct.pack('=I', len(body)) + body
open(sys.argv[2], 'wb').write(frame + frame)
PY
done
