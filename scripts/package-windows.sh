#!/usr/bin/env bash
# Makes the Windows installer and the portable zip from a cross-built tree (scripts/build-windows.sh):
#   <tree>/ZelvorSound-<version>-setup.exe   NSIS, 64-bit (data/windows/zelvorsound.nsi)
#   <tree>/ZelvorSound-<version>-portable.zip the program with the demo prompts beside it, for
#                                            any folder it is unpacked into
# The demo prompts are made by the program itself, under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WIN=$(realpath "${1:-build/win}")
EXE=$WIN/src/zelvorsound-cli.exe
if [ ! -f "$EXE" ]; then
  echo "package-windows: no $EXE (the command line does not link on Windows yet); no installer" >&2
  exit 0
fi
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$WIN/CMakeCache.txt")
export WINEPREFIX=$WIN/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=

rm -rf "$WIN/package"
# The installer's files: the launcher as zelvorsound-cli.exe, the program in "programs".
install=$WIN/package/install
mkdir -p "$install/programs"
x86_64-w64-mingw32-strip -o "$install/programs/zelvorsound-cli.exe" "$EXE"
x86_64-w64-mingw32-strip -o "$install/zelvorsound-cli.exe" "$WIN/src/zelvorsound-launcher.exe"
sed 's/$/\r/' data/windows/README.txt >"$install/README.txt"  # Windows line ends for Notepad
makensis -V2 -DVERSION="$VERSION" -DPROGRAMS="$install" \
  -DOUTFILE="$WIN/ZelvorSound-$VERSION-setup.exe" "$ROOT/data/windows/zelvorsound.nsi"

stage=$WIN/package/ZelvorSound-$VERSION
mkdir -p "$stage"
cp "$install/programs/zelvorsound-cli.exe" "$install/README.txt" "$stage/"

# The portable copy: the demo made beside the program, zipped with its folder.
wine "$stage/zelvorsound-cli.exe" demo --folder "$(winepath -w "$stage")" >/dev/null
wineserver -w
rm -f "$WIN/ZelvorSound-$VERSION-portable.zip"
(cd "$WIN/package" && zip -qr "$WIN/ZelvorSound-$VERSION-portable.zip" "ZelvorSound-$VERSION")
echo "package-windows: $WIN/ZelvorSound-$VERSION-setup.exe, $WIN/ZelvorSound-$VERSION-portable.zip"
