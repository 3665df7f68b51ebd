#!/bin/busybox sh
# The guest's first process. It sees this machine's root read-only over
# virtio-9p, puts a tmpfs above it, and runs the job in a chroot of that:
# every package, build and path is the machine's own. The job's output and
# exit status go to the results share, which is the machine's directory of
# the same name, as are the other shares; then the guest powers off.
/bin/busybox mkdir -p /proc /sys /dev /usr/bin /usr/sbin /sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec >/dev/console 2>&1

arg() { sed -nE "s/.*(^| )$1=([^ ]*).*/\2/p" /proc/cmdline; }
results=$(arg kestrum.results)
say() { echo "guest: $*"; }
finish() {
  [ -d /results ] && echo "$1" >/results/status && sync
  say "exit status $1"
  poweroff -f
}

# In the order prepare-vm.sh wrote: the kernel package has no modules.dep.
for module in $(cat /modules/order); do
  insmod "/modules/$module.ko" || { say "could not load $module"; finish 125; }
done
mkdir -p /results /lower /upper /root
# The read-write shares are cached in the guest (cache=loose) and written
# back by the sync before power-off: without the cache a program copied into
# one ran as zeros where wine mapped its image (the copy read back whole).
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose results /results ||
  { say "no results share"; poweroff -f; }
echo booted >/results/booted
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,ro,cache=loose hostroot /lower ||
  { say "no root share"; finish 125; }
mount -t tmpfs -o size=80% upper /upper
mkdir -p /upper/data /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work overlay /root ||
  { say "no overlay"; finish 125; }
mount -t proc proc /root/proc
mount -t sysfs sys /root/sys
mount -t devtmpfs dev /root/dev
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts devpts /root/dev/pts
# What udev would link: bash's process substitution opens /dev/fd/N.
ln -sf /proc/self/fd /root/dev/fd
for fd in 0:stdin 1:stdout 2:stderr; do ln -sf "/proc/self/fd/${fd%%:*}" "/root/dev/${fd#*:}"; done
# /tmp stays the machine's own (beneath the tmpfs), so that its files can be named.
for dir in /root/run /root/dev/shm; do mount -t tmpfs tmpfs "$dir"; done
mkdir -p "/root$results"
mount --bind /results "/root$results"
i=0
while share=$(arg "kestrum.share$i") && [ -n "$share" ]; do
  mkdir -p "/root$share"
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose "share$i" "/root$share" ||
    { say "no share $share"; finish 125; }
  i=$((i + 1))
done
ip link set lo up
hostname kestrum-vm
say "running the job"
chroot /root /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root TERM=dumb LANG=C.UTF-8 /bin/bash "$results/job.sh" >/results/output 2>&1 </dev/null
finish $?
