# The Debian packages kx7fw needs, in one place: scripts/demo and
# scripts/check (and through it .ci/run) install from these lists what is
# missing. Sourced by POSIX shell scripts.

# The demo: the command-line tool built on the simulated world (JSON scenario
# files with nlohmann-json, its arguments with CLI11).
KX7FW_DEMO_PACKAGES="cmake make g++ nlohmann-json3-dev libcli11-dev"

# The whole suite: GoogleTest; dosfstools and mtools judge the FAT volumes
# the formatter lays down; the Linux backend (libudev), its umockdev testbed
# and the loop-device tests (mkfs.ext2); kx7fw.dll's cross compilers,
# GoogleTest's sources for them and Wine; the fuzz targets (clang with
# libFuzzer) and the benchmarks' library; clang-format-14 checks the layout
# of the sources.
KX7FW_SUITE_PACKAGES="$KX7FW_DEMO_PACKAGES pkg-config libgtest-dev libgmock-dev googletest
  dosfstools mtools libudev-dev umockdev libumockdev-dev e2fsprogs
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64
  clang libclang-rt-14-dev libbenchmark-dev clang-format-14"

# 32-bit Wine runs the 32-bit DLL's tests. It comes from the i386 archive,
# whose index can be out of step with the rest for a while, so it is
# installed on its own and may be missing: those tests then report SKIPPED.
KX7FW_WINE32_PACKAGE="wine32:i386"

# The packages of the list that are not installed.
kx7fw_missing() {
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || printf '%s ' "$package"
  done
}

# How to run a command as root here: nothing to add (root), or sudo when it
# works without a password prompt. Fails when neither does.
kx7fw_root() {
  if [ "$(id -u)" -eq 0 ]; then
    KX7FW_AS_ROOT=""
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    KX7FW_AS_ROOT="sudo"
  else
    return 1
  fi
}

# apt-get update, tried once more when it fails; a second failure is
# reported, and installing goes on from the package lists as they are.
kx7fw_apt_update() {
  $KX7FW_AS_ROOT apt-get update -qq && return 0
  echo "kx7fw: apt-get update failed; trying once more" >&2
  sleep 5
  $KX7FW_AS_ROOT apt-get update -qq && return 0
  echo "kx7fw: apt-get update failed again; installing from the package lists as they are" >&2
}

kx7fw_apt_install() {
  DEBIAN_FRONTEND=noninteractive $KX7FW_AS_ROOT apt-get install -y -qq --no-install-recommends "$@"
}

# Installs what is missing of the packages `what` (a name for messages)
# needs. Where nothing can be installed (not root, no sudo without a
# prompt), names the packages and the command, and fails.
kx7fw_require() {
  what=$1
  shift
  if ! command -v dpkg >/dev/null 2>&1; then
    echo "kx7fw: not a Debian system; $what needs (as Debian names them): $*" >&2
    return 0
  fi
  missing=$(kx7fw_missing "$@")
  missing=${missing% }
  [ -n "$missing" ] || return 0
  if ! kx7fw_root; then
    echo "kx7fw: $what needs these packages, which are not installed: $missing" >&2
    echo "kx7fw: install them as root, then run this again:" >&2
    echo "    apt-get update && apt-get install $missing" >&2
    return 1
  fi
  echo "kx7fw: installing what $what needs: $missing"
  kx7fw_apt_update
  # shellcheck disable=SC2086 # one word per package
  kx7fw_apt_install $missing
}

# Installs 32-bit Wine if it can; never fails. Why it could not is said.
kx7fw_offer_wine32() {
  command -v dpkg >/dev/null 2>&1 || return 0
  [ -z "$(kx7fw_missing "$KX7FW_WINE32_PACKAGE")" ] && return 0
  skipped="the 32-bit Wine tests will report SKIPPED"
  if ! kx7fw_root; then
    echo "kx7fw: $KX7FW_WINE32_PACKAGE is not installed and cannot be here (not root, no sudo):" \
         "$skipped. As root: dpkg --add-architecture i386 && apt-get update &&" \
         "apt-get install $KX7FW_WINE32_PACKAGE" >&2
    return 0
  fi
  echo "kx7fw: installing $KX7FW_WINE32_PACKAGE on its own"
  if ! dpkg --print-foreign-architectures | grep -qx i386 &&
     ! $KX7FW_AS_ROOT dpkg --add-architecture i386; then
    echo "kx7fw: the i386 architecture cannot be added: $skipped" >&2
    return 0
  fi
  kx7fw_apt_update
  if ! log=$(kx7fw_apt_install "$KX7FW_WINE32_PACKAGE" 2>&1); then
    echo "$log" | tail -n 8 >&2
    echo "kx7fw: $KX7FW_WINE32_PACKAGE cannot be installed now (above, what apt-get said):" \
         "$skipped; everything else runs" >&2
  fi
  return 0
}
