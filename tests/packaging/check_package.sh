#!/usr/bin/env bash
# check_package.sh BUILD_DIR SOURCE_DIR: installs the built tree into a
# staging directory, makes the two .deb packages from it and checks what
# lintian cannot know: the exact file lists, the versions, that porten-cli
# needs no Qt, X or fonts while porten pulls in its fonts and translations,
# and that no test hook ships. Then lintian, which fails on any error or
# warning (man pages, desktop entry, stripping, copyright, icons).
set -euo pipefail
build=$(cd "$1" && pwd)
version=1.0.0.1
arch=$(dpkg --print-architecture)
work=$(mktemp -d "${TMPDIR:-/tmp}/porten-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

cmake --install "$build" --prefix "$work/root" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
cli=$work/pkg/porten-cli_${version}_$arch.deb
gui=$work/pkg/porten_${version}_$arch.deb

# Exactly these files: nothing stray (test binaries, libraries of the build)
# slips in, nothing is forgotten or lands in the wrong package.
expect_contents() {
  local actual
  actual=$(dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sort) || fail "$1 is not a package"
  diff <(echo "$2") <(echo "$actual") >&2 || fail "$(basename "$1") differs (- expected, + found)"
  ok "$(basename "$1") holds exactly the expected files"
}
expect_contents "$cli" "./usr/bin/porten-board
./usr/bin/porten-cli
./usr/share/bash-completion/completions/porten-cli
./usr/share/doc/porten-cli/changelog.gz
./usr/share/doc/porten-cli/copyright
./usr/share/doc/porten-cli/examples/LOADER.MOT
./usr/share/doc/porten-cli/examples/blink.mot
./usr/share/man/man1/porten-board.1.gz
./usr/share/man/man1/porten-cli.1.gz"
expect_contents "$gui" "./usr/bin/porten
./usr/share/applications/porten.desktop
./usr/share/doc/porten/changelog.gz
./usr/share/doc/porten/copyright
./usr/share/icons/hicolor/16x16/apps/porten.png
./usr/share/icons/hicolor/32x32/apps/porten.png
./usr/share/man/man1/porten.1.gz"

cli_deps=$(dpkg-deb -f "$cli" Depends) gui_deps=$(dpkg-deb -f "$gui" Depends)
echo "$cli_deps" | grep -q 'libstdc++6' || fail "porten-cli Depends lacks libstdc++6: $cli_deps"
! echo "$cli_deps" | grep -qiE 'qt|libx|libgl|font' || fail "porten-cli depends on Qt, X or fonts: $cli_deps"
# Read once: grep -q stops at its match, and under pipefail the writer's
# SIGPIPE would fail the check now and then.
gui_fields=$(dpkg-deb -f "$gui" Depends Recommends)
for dep in libqt6widgets6 "fonts-ipafont-gothic | fonts-noto-cjk" qt6-translations-l10n "porten-cli (= $version)"; do
  grep -qF "$dep" <<<"$gui_fields" || fail "porten lacks $dep: $gui_deps"
done
dpkg-deb -x "$cli" "$work/deb"
dpkg-deb -x "$gui" "$work/deb"
for p in porten porten-cli porten-board; do
  [ "$("$work/deb/usr/bin/$p" --version)" = "$version" ] || fail "$p --version"
done
! strings "$work/deb/usr/bin/porten" | grep -q PORTEN_AUTO || fail "porten reads PORTEN_AUTO_*"
! readelf -d "$work/deb/usr/bin/porten-cli" | grep NEEDED | grep -qi qt || fail "porten-cli links Qt"
ok "porten-cli needs no Qt, X or fonts; porten its fonts and translations; versions; no test hooks"

# No tag needs suppressing. Should one become unavoidable for a locally built
# package, add it here with --suppress-tags and a line saying why.
lintian --fail-on error,warning --tag-display-limit 0 "$cli" "$gui" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log" >&2; fail "lintian reports errors or warnings"; }
ok "lintian reports no errors and no warnings"
