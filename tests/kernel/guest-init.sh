#!/bin/sh
# The kernel tests' guest: mounts the kernel's file systems, runs udevd as a
# desktop does (it loads the drivers), then serves commands on the second
# serial port. A command arrives as one line
#   ID USER TIMEOUT BASE64
# (USER root or tester, TIMEOUT in seconds, BASE64 the shell text) and is
# answered with its output, its error output and its exit code:
#   @@out ID / base64 lines / @@err ID / base64 lines / @@exit ID CODE
export PATH=/usr/local/bin:/bin:/sbin
export LD_LIBRARY_PATH=/usr/local/lib
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
chmod 1777 /tmp
hostname kx7guest

/lib/systemd/systemd-udevd --daemon --resolve-names=never
udevadm trigger --action=add --type=subsystems
udevadm trigger --action=add --type=devices
udevadm settle --timeout=60

agent=/dev/ttyS1
stty -F "$agent" raw -echo -icrnl -onlcr 115200
exec 3<"$agent" 4>"$agent"
echo "@@ready $(uname -r)" >&4
while read -r id user limit text <&3; do
  echo "$text" | base64 -d > /tmp/command.sh 2>/dev/null
  case $user in
    root) timeout "$limit" sh /tmp/command.sh > /tmp/out 2> /tmp/err < /dev/null ;;
    *) chmod 644 /tmp/command.sh
       # busybox su: root needs no password; the environment is kept but
       # HOME, USER and the like.
       timeout "$limit" su -s /bin/sh tester -c 'sh /tmp/command.sh' \
         > /tmp/out 2> /tmp/err < /dev/null ;;
  esac
  code=$?
  {
    echo "@@out $id"; base64 < /tmp/out
    echo "@@err $id"; base64 < /tmp/err
    echo "@@exit $id $code"
  } >&4
done
echo "@@gone" >&4
poweroff -f
