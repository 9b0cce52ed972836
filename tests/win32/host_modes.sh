#!/bin/sh
# Runs the host program's acceptance modes where no player is attached and
# checks that each one says so, in its output and in its report file:
#   host_modes.sh <build folder> <wine run command...> <kx7fw_host.exe>
# The Wine prefix maps K: to the build folder.
set -u
build=$1
shift
rm -f "$build/host-modes-report.txt"
out=$("$@" --report 'K:\host-modes-report.txt' list identity adapter \
      update 'K:\no-firmware\' recover 'K:\no-firmware\')
status=$?
printf '%s\n' "$out"
[ "$status" = 77 ] && exit 77
[ "$status" = 0 ] || { echo "FAIL: exit status $status"; exit 1; }
for mode in list identity adapter update recover; do
  for where in output report; do
    if [ "$where" = output ]; then text=$out; else text=$(cat "$build/host-modes-report.txt"); fi
    printf '%s\n' "$text" | grep -q "^$mode: no player" ||
      { echo "FAIL: the $mode mode did not report \"no player\" in its $where"; exit 1; }
  done
done
echo "every mode reports no player"
