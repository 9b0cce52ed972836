#!/bin/sh
# Makes the kernel tests' guest from Debian packages: the kernel of
# linux-image-amd64 and the modules the tests need (unpacked from the .deb
# that scripts/fetch-guest-packages cached), busybox-static, systemd-udevd
# with Debian's rules and the project's, and the project's binaries with the
# libraries they load, in one initramfs.
#
#   make-guest.sh DEBDIR OUTDIR RULES FIRMWARE_DIR BINARY...
#
# Leaves OUTDIR/vmlinuz and OUTDIR/initrd.cpio. Exits 77 (skipped) when the
# packages are not there.
set -eu
debs=$1 rules=$3 firmware=$4
mkdir -p "$2"
out=$(cd "$2" && pwd)
shift 4
here=$(cd "$(dirname "$0")" && pwd)

skip() { echo "kernel guest: $*: kernel tests skipped" >&2; exit 77; }
[ -f "$debs/kernel-package" ] ||
  skip "no kernel package in $debs (run scripts/fetch-guest-packages $debs)"
kernel_deb=$debs/$(cat "$debs/kernel-package")
kmod_deb=$(ls "$debs"/kmod_*.deb 2>/dev/null | tail -n 1)
[ -f "$kernel_deb" ] && [ -n "$kmod_deb" ] || skip "packages missing in $debs"
[ -x /bin/busybox ] || skip "busybox-static is not installed"
[ -x /bin/udevadm ] || skip "udev is not installed"

# Unpacked once per package.
unpacked=$out/unpacked
if [ "$(cat "$unpacked/.from" 2>/dev/null)" != "$kernel_deb $kmod_deb" ]; then
  rm -rf "$unpacked"
  mkdir -p "$unpacked/kernel" "$unpacked/kmod"
  dpkg-deb -x "$kernel_deb" "$unpacked/kernel"
  dpkg-deb -x "$kmod_deb" "$unpacked/kmod"
  ln -s kmod/bin/kmod "$unpacked/depmod"
  ln -s kmod/bin/kmod "$unpacked/modprobe"
  version=$(ls "$unpacked/kernel/lib/modules")
  "$unpacked/depmod" -b "$unpacked/kernel" "$version"
  echo "$kernel_deb $kmod_deb" > "$unpacked/.from"
fi
version=$(ls "$unpacked/kernel/lib/modules")
cp "$unpacked/kernel/boot/vmlinuz-$version" "$out/vmlinuz"

root=$out/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/sbin" "$root/etc/udev/rules.d" "$root/lib/udev" \
         "$root/usr/local/bin" "$root/usr/local/lib" "$root/proc" "$root/sys" "$root/dev" \
         "$root/run" "$root/tmp" "$root/mnt" "$root/home/tester" "$root/root"

# The modules: USB host and mass storage, SCSI disk and generic, HID raw,
# FAT, loop; each with what it depends on.
modules="ehci-pci usb-storage sd_mod sg usbhid hid-generic hidraw vfat nls_cp437
         nls_iso8859-1 nls_utf8 nls_ascii loop ext4"
for module in $modules; do
  "$unpacked/modprobe" -d "$unpacked/kernel" -S "$version" --show-depends "$module" 2>/dev/null |
    sed -n 's/^insmod \([^ ]*\).*/\1/p'
done | sort -u | while read -r file; do
  relative=${file#"$unpacked/kernel"}
  mkdir -p "$root$(dirname "$relative")"
  cp "$file" "$root$relative"
done
cp "$unpacked/kernel/lib/modules/$version/modules.builtin" \
   "$unpacked/kernel/lib/modules/$version/modules.builtin.modinfo" \
   "$unpacked/kernel/lib/modules/$version/modules.order" "$root/lib/modules/$version/"
"$unpacked/depmod" -b "$root" "$version"

# Programs and every library they load, at the paths they load them from.
copy_with_libraries() {
  for program in "$@"; do
    ldd "$program" 2>/dev/null | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p'
  done | sort -u | while read -r library; do
    mkdir -p "$root$(dirname "$library")"
    [ -e "$root$library" ] || cp -L "$library" "$root$library"
  done
}
cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
cp "$unpacked/kmod/bin/kmod" "$root/bin/kmod"
for tool in modprobe insmod rmmod lsmod depmod modinfo; do
  rm -f "$root/bin/$tool" "$root/sbin/$tool"
  ln -s ../bin/kmod "$root/sbin/$tool"
done
cp /bin/udevadm "$root/bin/udevadm"
mkdir -p "$root/lib/systemd"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
copy_with_libraries /bin/udevadm "$unpacked/kmod/bin/kmod"
cp -r /lib/udev/rules.d "$root/lib/udev/"
for helper in ata_id cdrom_id scsi_id; do
  [ -x "/lib/udev/$helper" ] && cp "/lib/udev/$helper" "$root/lib/udev/"
done
cp "$rules" "$root/etc/udev/rules.d/"
[ -f /etc/udev/udev.conf ] && cp /etc/udev/udev.conf "$root/etc/udev/"
# The loop-device tests' file system tools, where the host has them.
for tool in /sbin/mkfs.fat /sbin/fsck.fat /sbin/mke2fs; do
  [ -x "$tool" ] || continue
  cp "$tool" "$root/sbin/"
  copy_with_libraries "$tool"
done
[ -x "$root/sbin/mke2fs" ] && ln -sf mke2fs "$root/sbin/mkfs.ext2"
# fsck.fat reads names through iconv's code page 850.
gconv=/usr/lib/x86_64-linux-gnu/gconv
if [ -f "$gconv/IBM850.so" ]; then
  mkdir -p "$root$gconv"
  cp "$gconv/IBM850.so" "$root$gconv/"
  cp -r "$gconv"/gconv-modules* "$root$gconv/"
fi
if [ -x /usr/bin/strace ]; then
  cp /usr/bin/strace "$root/usr/local/bin/"
  copy_with_libraries /usr/bin/strace
fi

for binary in "$@"; do
  case $binary in
    *.so*) cp -P "$binary" "$root/usr/local/lib/"
           real=$(readlink -f "$binary")
           [ -e "$root/usr/local/lib/$(basename "$real")" ] || cp "$real" "$root/usr/local/lib/" ;;
    *) cp "$binary" "$root/usr/local/bin/" ;;
  esac
done
for library in "$@"; do
  case $library in *.so*) ;; *) copy_with_libraries "$library" ;; esac
done
# The project's own libraries are found in /usr/local/lib.
find "$root/lib" "$root/usr/lib" -name 'libkx7fw*' -delete 2>/dev/null || true
mkdir -p "$root/firmware"
cp "$firmware"/* "$root/firmware/"

cat > "$root/etc/passwd" <<PASSWD
root:x:0:0:root:/root:/bin/sh
tester:x:1000:1000:tester:/home/tester:/bin/sh
PASSWD
cat > "$root/etc/group" <<GROUP
root:x:0:
disk:x:6:
tester:x:1000:
GROUP
chown 1000:1000 "$root/home/tester"
cp "$here/guest-init.sh" "$root/init"
chmod 755 "$root/init"

(cd "$root" && find . | LC_ALL=C sort | busybox cpio -o -H newc 2>/dev/null) > "$out/initrd.cpio"
echo "kernel guest: $version, $(du -k "$out/initrd.cpio" | cut -f1) KiB initramfs in $out"
