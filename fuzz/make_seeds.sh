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

# Script walks. The page target: each saved page behind the byte that picks its own definition
# (the order of kFixtureEngines in fuzz/script_walk.h). The definition target: the same byte
# (which picks the page), the definition with its state file renamed to the one the target
# writes, the separator line, and the state file.
engines="ask-1 bing-2 brave-1 duckduckgo-1 duckduckgo-2 duckduckgo-3 google-1 mojeek-1 startpage-1 yahoo-1 yahoo-2 yandex-1"
mkdir -p "$out/script_walk_page" "$out/script_walk_definition"
i=0
for e in $engines; do
  pick=$(printf "\\\\x%02x" "$i")
  { printf "$pick"; head -c 131072 "tests/fixtures/serp/$e.html"; } >"$out/script_walk_page/$e"
  { printf "$pick"; sed 's/^statepath=.*/statepath=fuzz.states/' "tests/fixtures/engines/$e.ini"
    printf '\n====states====\n'; cat "tests/fixtures/engines/$e.states"; } >"$out/script_walk_definition/$e"
  i=$((i + 1))
done

# dictionary.bin: a few words of each kind, in the file's layout (a count of nodes, then per
# node its class mask, its count of transitions and each transition: full level, next node,
# partial level, flags, character).
mkdir -p "$out/dictionary"
python3 - "$out/dictionary/words" <<'PY'
import struct, sys
words = [("sex", 1, 4), ("porn", 2, 3), ("xxx", 1, 2), ("adult", 2, 1), ("bad word", 1, 2)]
nodes = [{}]
for word, kind, level in words:
    node = 0
    for i, c in enumerate(word.encode()):
        t = nodes[node].setdefault(c, {"next": 0xFFFF, "full": 0, "partial": 0, "flags": 0})
        if i == len(word) - 1:
            t["flags"] |= kind
            t["full" if kind == 1 else "partial"] = level
        else:
            if t["next"] == 0xFFFF:
                t["next"] = len(nodes)
                nodes.append({})
            node = t["next"]
out = struct.pack("<H", len(nodes))
for n in nodes:
    out += struct.pack("<IH", 0, len(n))
    for c, t in sorted(n.items()):
        out += struct.pack("<BHBBB", t["full"], t["next"], t["partial"], t["flags"], c)
open(sys.argv[1], "wb").write(out)
PY

# A results file as a saved search keeps it.
mkdir -p "$out/results_file"
printf '[Main]\r\nName=whale song\r\nCategory=Web\r\n[results]\r\n1=3\r\n2=0\r\n[3]\r\nresult=<a href=http://a.test/1>Whale</a><p>A song</p>\r\nenginelist=Bing|Mojeek\r\nvisited=1700000000\r\nhref=http://a.test/1\r\npercent=80\r\nengines=2\r\nkeywords=3\r\nrank=1\r\nmark=2\r\n[0]\r\nhref=http://b.test/\r\nresult="quoted"\r\n' \
  >"$out/results_file/saved_search"

# Mail server dialogues: the authentication method, then the replies, each after a NUL.
mkdir -p "$out/smtp_reply"
reply() { local name=$1; shift; printf "$@" >"$out/smtp_reply/$name"; }
reply plain '\x00220 hi\r\n\x00250 ok\r\n\x00250 ok\r\n\x00250 ok\r\n\x00354 go on\r\n\x00250 queued\r\n\x00221 bye\r\n'
reply login '\x02220-first\r\n220 second\r\n\x00250-tulix.test\r\n250 AUTH LOGIN CRAM-MD5\r\n\x00334 VXNlcm5hbWU6\r\n\x00334 UGFzc3dvcmQ6\r\n\x00235 ok\r\n\x00250 ok\r\n\x00250 ok\r\n\x00354 go\r\n\x00250 ok\r\n\x00221 bye\r\n'
reply cram '\x01220 hi\r\n\x00250 AUTH CRAM-MD5\r\n\x00334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UudGVzdD4=\r\n\x00235 ok\r\n\x00250 ok\r\n\x00550 no such user\r\n\x00221 bye\r\n'
reply login_plain '\x03220 hi\r\n\x00250 ok\r\n\x00334 Username:\r\n\x00334 Secret:\r\n\x00535 denied\r\n'

# Alert addresses and texts: To, Cc, Bcc, sender name, sender address, subject, body.
mkdir -p "$out/mime_address"
printf 'Mum <mum@home.test>; dad@home.test, "Big Sis" <sis@home.test>\nteacher@school.test\n\nTulix Family\nalerts@tulix.test\nBlocked search: caf\xe9\nA search was blocked.\n.\nThat line was a full stop.\n' \
  >"$out/mime_address/alert"
printf 'a@b.test>, <c@d.test\n\n\n\nx@y.test\nline\r\ninjected: header\n.\r\n' >"$out/mime_address/broken"
