#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root).
# Only missing packages are installed; a machine that has them all is left alone.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools   # the cross compiler and windres
  wine64                                       # runs the Windows programs
  xvfb xauth                                   # a display for the tray window
  googletest                                   # test framework sources
  nlohmann-json3-dev                           # a real JSON parser for the tests
  cmake make g++ python3
  clang-14 libclang-rt-14-dev                  # sanitizer builds and the fuzzers (libFuzzer)
  inotify-tools                                # the benchmarks' peer watcher (inotifywait)
)
[ "$#" -gt 0 ] && packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then echo "need root to install packages" >&2; exit 1; fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
