#!/usr/bin/env bash
# Makes the Debian package from a build, checks it with lintian, installs it on this machine
# and uses it as a user would: the desktop entry and the AppStream metadata validated, the
# man pages, zelvorsound-cli demo and build in a fresh ZELVOR_FOLDER and in the folder the
# user stands in, the first start of a new user (~/ZelvorSound made and seeded), the window
# under Xvfb from its installed path.
# Then it proves that nothing was written beside the installed binaries. The package is
# removed again at the end, also when a step fails, so it never shadows a later build.
#
#   scripts/install-check.sh [BUILD_DIR]     (default build/test; run as root)
# Exit status: 0 passed, 1 failed, 77 skipped (not root, or zelvorsound is installed already).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/test}" && pwd) || exit 1
PKG=zelvorsound
APP_ID=org.zelvorsound.ZelvorSound
PRIVATE=/usr/lib/zelvorsound

skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "installing a package needs root"
state() { dpkg-query -W -f='${db:Status-Status}' "$PKG" 2>/dev/null || echo not-installed; }
if [ "$(state)" = installed ]; then
  skip "$PKG is installed on this machine already; this check installs and removes it, so it leaves that one alone"
fi
for tool in lintian desktop-file-validate appstreamcli runuser; do
  command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool is not installed (scripts/setup.sh --tests)"; exit 1; }
done
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
[ -n "$VERSION" ] || { echo "FAIL: $BUILD is no configured build"; exit 1; }

WORK=$(mktemp -d)
chmod 755 "$WORK"  # apt reads the package as its own user; the test user works in here
INSTALLED=""
cleanup() {
  if [ -n "$INSTALLED" ]; then
    apt-get -o DPkg::Lock::Timeout=300 purge -y -qq "$PKG" >/dev/null 2>&1 || dpkg --purge "$PKG" >/dev/null
    if [ "$(state)" != not-installed ]; then
      echo "FAIL: $PKG could not be removed again ($(state))"
    elif [ -e "$PRIVATE" ]; then
      echo "FAIL: $PKG is removed, but $PRIVATE remains with what was written there:"
      find "$PRIVATE" -mindepth 1 | sed 's/^/  /'
    else
      echo "removed $PKG again"
      INSTALLED=""
    fi
  fi
  rm -rf "$WORK"
  [ -z "$INSTALLED" ] || exit 1
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP  # the package goes also when the check is stopped
fail() { echo "FAIL: $*"; exit 1; }
run() {  # command... : runs it, shows its output when it fails
  "$@" >"$WORK/out" 2>&1 || { sed 's/^/  /' "$WORK/out"; fail "$*"; }
}

# --- the package
rm -f "$BUILD/${PKG}"_*.deb
run cmake --build "$BUILD" --target package
DEB=$(ls "$BUILD/${PKG}_${VERSION}"_*.deb 2>/dev/null) || fail "no ${PKG}_${VERSION}_<arch>.deb in $BUILD"
[ "$(dpkg-deb -f "$DEB" Version)" = "$VERSION" ] || fail "the package's version is not $VERSION"
dpkg-deb -f "$DEB" Depends | grep -q libqt6widgets6 || fail "the package does not declare what it links"
lintian --fail-on error "$DEB" 2>&1 | grep -v "running with root privileges" | tee "$WORK/lintian"
[ "${PIPESTATUS[0]}" = 0 ] || fail "lintian reports errors on $(basename "$DEB")"
echo "$(basename "$DEB"): lintian $(grep -c '^[EW]:' "$WORK/lintian") errors and warnings"

cp "$DEB" "$WORK/"
INSTALLED=yes
run apt-get -o DPkg::Lock::Timeout=300 install -y -qq "$WORK/$(basename "$DEB")"
echo "installed $PKG $VERSION"

# --- what the package holds
dpkg -L "$PKG" | sort >"$WORK/files"
expected=(/usr/bin/zelvorsound /usr/bin/zelvorsound-cli "$PRIVATE/zelvorsound"
  "$PRIVATE/zelvorsound-cli" "/usr/share/applications/$APP_ID.desktop"
  "/usr/share/icons/hicolor/scalable/apps/$APP_ID.svg" "/usr/share/metainfo/$APP_ID.metainfo.xml"
  /usr/share/man/man1/zelvorsound.1.gz /usr/share/man/man1/zelvorsound-cli.1.gz
  /usr/share/doc/zelvorsound/copyright /usr/share/doc/zelvorsound/changelog.gz)
[ -f "$ROOT/data/completion/zelvorsound-cli.bash" ] &&
  expected+=(/usr/share/bash-completion/completions/zelvorsound-cli)
for f in "${expected[@]}"; do
  grep -qx "$f" "$WORK/files" && [ -f "$f" ] || fail "the package does not install $f"
done
run desktop-file-validate "/usr/share/applications/$APP_ID.desktop"
run appstreamcli validate --no-net "/usr/share/metainfo/$APP_ID.metainfo.xml"
for page in zelvorsound zelvorsound-cli; do
  zcat "/usr/share/man/man1/$page.1.gz" | grep -q ZELVOR_FOLDER || fail "man page $page lacks ZELVOR_FOLDER"
done
echo "desktop entry and AppStream metadata valid; man pages for both commands"

# The rest runs from a folder of its own with a home of its own, as a user starts it.
cd "$WORK" || fail "cannot enter $WORK"
export HOME=$WORK/root-home
mkdir "$HOME"
unset ZELVOR_FOLDER
touch "$WORK/stamp"

# --- the commands on the PATH
hash -r
[ "$(command -v zelvorsound-cli)" = /usr/bin/zelvorsound-cli ] || fail "zelvorsound-cli is not /usr/bin/zelvorsound-cli"
[ "$(zelvorsound --version)" = "zelvorsound $VERSION" ] || fail "zelvorsound --version: $(zelvorsound --version 2>&1)"
echo "zelvorsound --version: $VERSION"
[ "$(zelvorsound-cli --version)" = "zelvorsound-cli $VERSION" ] ||
  fail "zelvorsound-cli --version: $(zelvorsound-cli --version 2>&1)"
echo "zelvorsound-cli --version: $VERSION"
zcat /usr/share/man/man1/zelvorsound-cli.1.gz | grep -qF "$VERSION" || fail "the man page of zelvorsound-cli lacks $VERSION"

FOLDER=$WORK/prompts
mkdir "$FOLDER" "$WORK/elsewhere"
(cd "$WORK/elsewhere" && ZELVOR_FOLDER=$FOLDER run zelvorsound-cli demo) || exit 1
(cd "$WORK/elsewhere" && ZELVOR_FOLDER=$FOLDER run zelvorsound-cli build) || exit 1
[ -f "$FOLDER/ZelvorSound.ini" ] && [ -s "$FOLDER/Sounds.zvd" ] ||
  fail "demo and build did not write ZelvorSound.ini and Sounds.zvd into ZELVOR_FOLDER"
[ -z "$(find "$WORK/elsewhere" "$HOME" -mindepth 1)" ] || { find "$WORK/elsewhere" "$HOME" -mindepth 1; fail "demo and build wrote outside ZELVOR_FOLDER"; }
echo "zelvorsound-cli demo and build in a fresh ZELVOR_FOLDER: Sounds.zvd of $(stat -c %s "$FOLDER/Sounds.zvd") bytes"

# --- the folder the user stands in: one that holds ZelvorSound.ini is the folder
rm "$FOLDER/Sounds.zvd"
(cd "$FOLDER" && run zelvorsound-cli build) || exit 1
[ -s "$FOLDER/Sounds.zvd" ] || fail "zelvorsound-cli build in a folder with ZelvorSound.ini did not build there"
grep -q "working in" "$WORK/out" && fail "a build in the current folder said it works elsewhere: $(cat "$WORK/out")"
(cd "$FOLDER" && run zelvorsound-cli list --json)
grep -q "\"package\":\"$FOLDER/Sounds.zvd\"" "$WORK/out" || fail "list --json in $FOLDER: $(cat "$WORK/out")"
[ -z "$(find "$HOME" -mindepth 1)" ] || fail "a build in a folder with ZelvorSound.ini made ~/ZelvorSound"
echo "zelvorsound-cli build and list in the folder the user stands in: no ~/ZelvorSound made"

# --- a new user's first start: ~/ZelvorSound is made, seeded and named in one line
USER_HOME=$WORK/user-home
mkdir "$USER_HOME"
chown nobody "$USER_HOME"
as_user() { (cd "$USER_HOME" && runuser -u nobody -- env HOME="$USER_HOME" "$@"); }
as_user zelvorsound-cli build >"$WORK/first" 2>"$WORK/first.err" ||
  { cat "$WORK/first" "$WORK/first.err"; fail "a new user's first zelvorsound-cli build"; }
# The note of the made folder is one line; the build's own summary on stderr follows it.
[ "$(grep -cF "$USER_HOME/ZelvorSound" "$WORK/first.err")" = 1 ] ||
  fail "the first start did not name the new folder in one line: $(cat "$WORK/first.err")"
[ -s "$USER_HOME/ZelvorSound/Sounds.zvd" ] || fail "no Sounds.zvd in the new user's ~/ZelvorSound"
[ "$(stat -c %U "$USER_HOME/ZelvorSound/ZelvorSound.ini")" = nobody ] ||
  fail "the user's files do not belong to the user"
as_user zelvorsound-cli list >"$WORK/second" 2>"$WORK/second.err" ||
  fail "zelvorsound-cli list in ~/ZelvorSound: $(cat "$WORK/second.err")"
[ ! -s "$WORK/second.err" ] || fail "the second start spoke again: $(cat "$WORK/second.err")"
echo "first start of a new user: ~/ZelvorSound made with the demo, named once: $(grep -F "$USER_HOME/ZelvorSound" "$WORK/first.err")"

# --- the window, from its installed path, in a fresh folder
mkdir "$WORK/window"
"$ROOT/scripts/xvfb-check.sh" /usr/bin/zelvorsound "$WORK/window" >"$WORK/xvfb" 2>&1
case $? in
  0) sed 's/^/  /' "$WORK/xvfb" ;;
  77) echo "  window $(cat "$WORK/xvfb")" ;;
  *) sed 's/^/  /' "$WORK/xvfb"; fail "the installed window" ;;
esac
[ ! -e "$HOME/ZelvorSound" ] || fail "the window made ~/ZelvorSound although ZELVOR_FOLDER was set"

# --- nothing beside the installed binaries: no new file, no changed file
find "$PRIVATE" /usr/bin -maxdepth 1 -newer "$WORK/stamp" >"$WORK/newer"
find "$PRIVATE" | sort >"$WORK/private"
grep -x "$PRIVATE\(/.*\)\?" "$WORK/files" | diff - "$WORK/private" >"$WORK/diff" ||
  { cat "$WORK/diff"; fail "files beside the installed binaries that the package did not bring"; }
grep -qE "^$PRIVATE|/zelvorsound" "$WORK/newer" && { cat "$WORK/newer"; fail "installed files were written to"; }
run dpkg --verify "$PKG"
echo "nothing written beside the installed binaries; every installed file as the package brought it"
echo "PASS"
