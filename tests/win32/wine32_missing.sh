#!/bin/sh
# Why this machine cannot run the 32-bit Windows test programs: said on
# standard output, with status 0. Status 1, and nothing said, when it can.
reasons=""
# Some kernels cannot execute 32-bit Linux programs at all, and 32-bit Wine
# with them.
if ! why=$(/lib/ld-linux.so.2 --version 2>&1 >/dev/null); then
  reasons="this machine cannot run 32-bit programs (/lib/ld-linux.so.2: ${why:-cannot be executed})"
fi
# Debian's 32-bit Wine (wine32:i386) puts its loader beside the 64-bit one;
# without it /usr/bin/wine falls back to 64-bit Wine, which cannot run them.
if [ -x /usr/lib/wine/wine64 ] && [ ! -x /usr/lib/wine/wine ]; then
  reasons="${reasons:+$reasons; }32-bit Wine is not installed (Debian: wine32:i386, which scripts/check installs when the i386 archive lets it)"
fi
[ -n "$reasons" ] || exit 1
echo "$reasons"
