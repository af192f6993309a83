#!/usr/bin/env bash
# Installs a build as a package would and checks that everything an installed Tulix needs is in
# place.
#   check_install.sh install BUILD_DIR   `cmake --install` into a temporary DESTDIR (prefix /usr)
#   check_install.sh package BUILD_DIR   build the Debian package with cpack and read it back
#                                        with dpkg-deb (exit 77, skipped, without dpkg-deb)
# Everything is made in a temporary folder that is removed at the end.
set -euo pipefail

mode=${1:?mode}
build=${2:?build folder}
work=$(mktemp -d "${TMPDIR:-/tmp}/tulix-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

# What must be installed, relative to the root of the installed tree.
expected=(
  usr/bin/tulix
  usr/bin/tulix-search
  usr/bin/tulix-enginetest
  usr/bin/tulix-update-server
  usr/bin/tulix-demo-engines
  usr/bin/tulix-bridge
  usr/share/tulix/browser/manifest.json
  usr/share/tulix/browser/searchresults.htm
  usr/share/tulix/browser/searchresults.js
  usr/share/applications/tulix.desktop
  usr/share/icons/hicolor/scalable/apps/tulix.svg
  usr/share/tulix/engines/real/README.md
  usr/share/tulix/engines/demo/web.cat
  usr/share/tulix/engines/demo/software.cat
  usr/share/tulix/demo/corpus.tsv
  usr/share/doc/tulix/examples/tulixlib.h
  usr/share/doc/tulix/examples/search.c
)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

case "$mode" in
  install)
    DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" ||
      { cat "$work/install.log" >&2; fail "cmake --install failed"; }
    for f in "${expected[@]}"; do
      [[ -f "$work/root/$f" ]] || fail "$f not installed"
    done
    for p in tulix tulix-search tulix-enginetest tulix-update-server tulix-demo-engines tulix-bridge; do
      [[ -x "$work/root/usr/bin/$p" ]] || fail "usr/bin/$p is not executable"
    done
    # The browser library and its client library, in the library folder the build chose.
    for lib in tulixlib.so libtulixclient.so; do
      find "$work/root/usr" -path "*/tulix/$lib" -type f | grep -q . || fail "$lib not installed"
    done
    grep -qx 'Exec=tulix' "$work/root/usr/share/applications/tulix.desktop" ||
      fail "the desktop file does not start tulix"
    # Nothing of the tests (the stand-in browser components, the test program) gets in.
    if find "$work/root" -name '*test_component*' -o -name 'tulix_tests' | grep -q .; then
      fail "test files were installed"
    fi
    ;;
  package)
    command -v dpkg-deb >/dev/null || { echo "dpkg-deb not found: skipped"; exit 77; }
    (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
      { cat "$work/cpack.log" >&2; fail "cpack failed"; }
    deb=$(find "$work/out" -maxdepth 1 -name 'tulix_*.deb' | head -n 1)
    [[ -n "$deb" ]] || fail "no package made"
    info=$(dpkg-deb --info "$deb")
    for field in 'Package: tulix' 'Section: net' 'Maintainer: ' 'Description: '; do
      grep -q "^ *$field" <<<"$info" || fail "package info lacks '$field'"
    done
    if command -v dpkg-shlibdeps >/dev/null; then
      grep -q '^ *Depends: .*libc6' <<<"$info" || fail "package depends on nothing"
    fi
    contents=$(dpkg-deb --contents "$deb")
    for f in "${expected[@]}"; do
      grep -q " \./$f\$" <<<"$contents" || fail "$f not in the package"
    done
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
echo "ok"
