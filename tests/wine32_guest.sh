#!/bin/busybox sh
# /init of the guest that runs the 32-bit Windows program's suites where this
# machine's kernel runs no 32-bit code (tests/wine32_guest.py). It sees this
# machine's own root, shared read-only over 9p, under an overlay whose writes
# stay in the guest's memory, so that the build, its wine prefix, wine and
# Python are the ones the tests have here; only the folder of results is
# shared writable, at its own path. /settings gives that path and the
# command, which runs in the shared root as the user the tests run as; its
# output and status go to the results, and the guest powers off.
export PATH=/bin
/bin/busybox mkdir -p /proc /sys /dev /host /rw /root
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do
  insmod "/modules/$module" || echo "insmod $module failed"
done
. /settings
# Read-only, this machine's files do not change under the guest's page
# cache, so it may keep them. Its /tmp is no tmpfs of the guest's own, but
# this machine's under the overlay like the rest: the build, and with it the
# results, may be in it.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 root /host &&
  mount -t tmpfs -o mode=755 changes /rw &&
  mkdir /rw/upper /rw/work &&
  mount -t overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work shared /root &&
  mount -t proc proc /root/proc &&
  mount -t sysfs sys /root/sys &&
  mount -t devtmpfs dev /root/dev &&
  mkdir -p /root/dev/pts /root/dev/shm &&
  mount -t devpts -o ptmxmode=666,mode=620 pts /root/dev/pts &&
  mount -t tmpfs -o mode=1777 shm /root/dev/shm &&
  mount -t tmpfs -o mode=755 run /root/run &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results "/root$results" || {
  echo "the guest could not mount this machine's root or the results" >&2
  reboot -f
}
# The wine prefix that an earlier guest made and this machine kept is the
# guest's, under an overlay of its own; else the one made here (whose 32-bit
# half is missing) is set aside, for wine_start to make it whole.
stamp=.update-timestamp
if [ -f "/host$kept/$stamp" ]; then
  mkdir -p /rw/prefix/upper /rw/prefix/work &&
    mount -t overlay -o "lowerdir=/host$kept,upperdir=/rw/prefix/upper,workdir=/rw/prefix/work" \
      prefix "/root$prefix"
else
  rm -rf "/root$prefix"
fi
hostname wine32-guest
cut -d ' ' -f 1 /proc/uptime >"/root$results/started"
chroot /root /usr/bin/env -i PATH="$path" HOME="$home" LANG="$lang" CAMERA_PATCH_GUEST=1 \
  /bin/sh -c "$command" </dev/null >"/root$results/guest.out" 2>&1
echo $? >"/root$results/guest.status"
# A prefix made or updated here goes back, as one tar stream, for this
# machine to keep.
if [ -f "/root$prefix/drive_c/windows/syswow64/kernel32.dll" ] &&
  ! cmp -s "/root$prefix/$stamp" "/host$kept/$stamp"; then
  chroot /root /bin/sh -c "$keep"
fi
cut -d ' ' -f 1 /proc/uptime >"/root$results/ended"
sync
reboot -f
