#!/bin/sh
# scripts/check-layers must refuse an include against the layer order and let
# every allowed one pass. Each row plants one include in a copy of the tree's
# layered folders (so the real order and the real files are checked, with one
# line added) and says whether the check must refuse it.
#   planted_includes.sh SOURCE_TREE WORK_DIR
set -eu
src=$1
work=$2
check="$src/scripts/check-layers"
rm -rf "$work"
mkdir -p "$work"

# file the line goes into | the included header | refused or allowed
rows='
device/cmd_base.h|api/library.h|refused
device/drive_table.cpp|firmware/image_table.h|refused
firmware/image_table.cpp|device/device_session.h|refused
firmware/sdisk.cpp|media/data_drive_format.h|refused
host/drive_letters.cpp|media/drive_image.h|refused
platform/platform.h|device/cmd_base.h|refused
platform/linux/sg_pass_through.cpp|api/library.h|refused
platform/win32/pass_through.cpp|sim/world.h|refused
util/byte_order.h|platform/platform.h|refused
api/library.cpp|targets/libkx7fw/process_library.cpp|refused
api/library.cpp|cli/results.h|refused
sim/player/player.cpp|sim/host/transcript.h|refused
sim/player/player.cpp|device/cmd_base.h|refused
sim/backend/world_port.h|api/library.h|refused
sim/world.h|sim/scenario/scenario_file.h|refused
device/cmd_base.h|firmware/../api/library.h|refused
device/cmd_base.h|../api/library.h|refused
device/drive_table.cpp|../firmware/image_table.h|refused
media/drive_image.cpp|firmware/fw_component.h|allowed
media/drive_image.cpp|device/device_session.h|allowed
api/library.cpp|media/drive_image.h|allowed
host/drive_letters.cpp|device/player_scan.h|allowed
platform/linux/sg_pass_through.cpp|kx7fw/kx7fw.h|allowed
sim/backend/world_port.h|sim/player/player.h|allowed
sim/scenario/scenario_file.cpp|sim/world.h|allowed
targets/libkx7fw/process_library.cpp|api/library.h|allowed
cli/main.cpp|sim/world.h|allowed
device/drive_table.cpp|drive_table.h|allowed
'

fresh_copy() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"
  for folder in docs scripts api cli device firmware host include media platform sim targets util; do
    cp -R "$src/$folder" "$work/tree/"
  done
}

failures=0
fresh_copy
if ! sh "$work/tree/scripts/check-layers" "$work/tree" >"$work/out" 2>&1; then
  echo "the unchanged tree fails the check:"
  cat "$work/out"
  failures=$((failures + 1))
fi

echo "$rows" | while IFS='|' read -r file header expect; do
  [ -n "$file" ] || continue
  fresh_copy
  if [ ! -f "$work/tree/$file" ]; then
    mkdir -p "$(dirname "$work/tree/$file")"
    : >"$work/tree/$file"
  fi
  printf '#include "%s"\n' "$header" >>"$work/tree/$file"
  if sh "$work/tree/scripts/check-layers" "$work/tree" >"$work/out" 2>&1; then
    got=allowed
  else
    got=refused
  fi
  if [ "$got" != "$expect" ]; then
    echo "FAIL: $file including \"$header\" was $got, wanted $expect"
    cat "$work/out"
    echo x >>"$work/failed"
  elif [ "$got" = refused ] && ! grep -q "^$file:[0-9]*: includes \"$header\"" "$work/out"; then
    echo "FAIL: $file including \"$header\" was refused without naming that line:"
    cat "$work/out"
    echo x >>"$work/failed"
  else
    echo "ok: $file including \"$header\": $got"
  fi
done
[ ! -f "$work/failed" ] && [ "$failures" -eq 0 ]
