#!/usr/bin/env bash
# Sets up, builds and starts Lumerin on Debian 12:   ./lumerin.sh [files or folders]
# Without a display it says so and stops at once; else it installs the packages it lacks (as
# root or through sudo), builds the program in Release in build-release/ (later runs only
# rebuild what changed) and starts it on the files and folders given.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")" && pwd)

# Without a display there is nothing to start: said before anything is installed or built.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display to show Lumerin's windows on (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Run it from a desktop session (or over ssh -X from one)." >&2
  exit 1
fi

mapfile -t PKGS < <(sed -n '/^\[tests\]/q; /^[^#]/p' "$ROOT/.ci/packages")
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

BUILD="$ROOT/build-release"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMERIN_TESTS=OFF \
    -DLUMERIN_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" --target lumerin

exec "$BUILD/app/lumerin" "$@"
