#!/bin/sh
# Makes a fresh Wine prefix for one build's Windows test programs, never
# touching the user's own:
#   wine_prefix.sh <32|64> <wine folder> <build folder> <wine64 loader> <wineserver>
# Drive K: is the build folder, so a test program's module path - and with
# it the settings backup folder K:\Temp - stays inside the build; drive P:
# is an empty folder that stands for a player's drive.
set -eu
bits=$1 dir=$2 build=$3 wine64=$4 wineserver=$5

if [ "$bits" = 32 ] && reason=$(sh "$(dirname "$0")/wine32_missing.sh"); then
  echo "SKIPPED: $reason"
  exit 77
fi

rm -rf "$dir" "$build/Temp"
mkdir -p "$dir/player"
export WINEPREFIX="$dir/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine64" wineboot --init
# The registry reaches system.reg when the server ends.
"$wineserver" -w
ln -s "$build" "$WINEPREFIX/dosdevices/k:"
ln -s "$dir/player" "$WINEPREFIX/dosdevices/p:"
echo "Wine prefix ready: $WINEPREFIX"
