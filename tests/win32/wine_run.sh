#!/bin/sh
# Runs one Windows test program under Wine, in the build's own prefix:
#   wine_run.sh <32|64> <wine folder> <wine loader> <program> [arguments]
# Exits 77 (skipped) where the machine cannot run it.
set -u
bits=$1 dir=$2 loader=$3
shift 3

if [ "$bits" = 32 ] && reason=$(sh "$(dirname "$0")/wine32_missing.sh"); then
  echo "SKIPPED: $reason"
  exit 77
fi
if [ ! -f "$dir/prefix/system.reg" ]; then
  echo "no Wine prefix in $dir: the wine_prefix test makes it" >&2
  exit 1
fi

export WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec "$loader" "$@"
