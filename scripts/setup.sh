#!/usr/bin/env bash
# Installs the Debian packages the build and the program need; with --tests also those only
# the tests use (never installed by scripts/start.sh on a user's desktop); with --windows
# those of the Windows cross-build (scripts/build-windows.sh). One apt-get update at most,
# then one apt-get install of everything missing. Safe to run again:
# when everything is there already it does nothing and needs no network.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config   # the build
  qt6-base-dev                                   # the window
  fonts-liberation                               # a face as narrow as the one the layout was drawn for
  libasound2-dev                                 # the sound card
  help2man                                       # the man pages, made from --help at build time
  libicu-dev                                     # Unicode case folding: names found whatever their case
  libsndfile1-dev libsoxr-dev                    # import: decode any sound file, resample it
  libespeak-ng-dev espeak-ng-data                # say: speech from text, and its voices
  libebur128-dev                                 # loudness (ITU-R BS.1770): the reference the tests hold the program's measure to
)
# Used only by the tests, their benchmarks and the checks of CI.
TEST_PACKAGES=(
  libgtest-dev libbenchmark-dev                  # tests and benchmarks
  clang libclang-rt-14-dev                       # fuzzing harnesses
  xvfb xauth xdotool x11-utils                   # window tests under a real X server
  imagemagick                                    # the window session looks at its pixels: icons, highlight
  alsa-utils                                     # aplay/arecord: ALSA checks in the tests
  pulseaudio libasound2-plugins                  # a real sound server behind ALSA's "default" for the
                                                 # tests (scripts/sound-server.sh starts a private one);
                                                 # never installed on a user's desktop by start.sh
  python3                                        # the window check closes the window through X;
                                                 # the review page's structure check
  chromium                                       # renders the review page headless in its check
  lintian desktop-file-utils appstream           # the package check: Debian's rules, desktop entry, AppStream
  sox time                                       # the import benchmark's yardstick and its memory;
                                                 # FLAC and Ogg sources for the Windows build's check
  asterisk-core-sounds-en-wav                    # recorded human voice prompts: the coder benchmark's speech
)
# The Windows cross-build: compilers, the tools that unpack Debian's source packages of the
# libraries it links, a Windows to run the tests and the installer in, the installer's maker.
WINDOWS_PACKAGES=(
  cmake ninja-build pkg-config ccache            # the build (ccache: the libraries' rebuilds)
  g++-mingw-w64-x86-64-posix                     # C++20 for 64-bit Windows, std::thread on
  gcc-mingw-w64-x86-64-posix                     #   winpthreads; C for the libraries
  mingw-w64-x86-64-dev                           # the Windows headers and import libraries
  dpkg-dev patch xz-utils                        # dpkg-source: Debian's sources with their patches
  wine wine64                                    # runs the tests and the installer headless
  nsis                                           # makensis: the 64-bit installer
  zip unzip                                      # the portable zip, made and tried
)
# --windows alone installs only the cross-build's packages (scripts/build-windows.sh);
# --tests --windows everything: the tests of both builds (scripts/test.sh).
case " $* " in
  *" --tests "*" --windows "* | *" --windows "*" --tests "*)
    PACKAGES+=("${TEST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}") ;;
  *" --windows "*) PACKAGES=("${WINDOWS_PACKAGES[@]}") ;;
  *" --tests "*) PACKAGES+=("${TEST_PACKAGES[@]}") ;;
esac
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
