#!/bin/busybox sh
# The power-cut test's virtual machine: /init of its initramfs, and the look
# at each replayed state. For each case in /cases it records a patch on one
# file system with dm-log-writes, replays the log onto a fresh copy one write
# at a time, and after each write mounts a throw-away snapshot of the copy
# and reports what the game's folder holds. The host judges; this only looks.
# Disks: vda the file systems as made, vdb the logs, vdc their fresh copies,
# vdd the snapshots' scratch space. Results go out on the second serial port.
export PATH=/bin DM_DISABLE_UDEV=1

# Mounts $1 on $2 as the case's file system; $3, when given, is more options.
mount_case() {
  case "$driver" in
    ntfs-3g) ntfs-3g ${3:+-o "$3"} "$1" "$2" ;;
    exfat-fuse) mount.exfat-fuse "$1" "$2" ;;
    *) mount -t "$driver" ${3:+-o "$3"} "$1" "$2" ;;
  esac
}

# What the folder holds, as name=sha256 (or =unreadable) words.
listing() {
  if [ ! -d "$1" ]; then
    echo nofolder
    return
  fi
  words=""
  for name in $(ls -A "$1"); do
    sum=$(sha256sum "$1/$name" 2>/dev/null) && sum=${sum%% *} || sum=unreadable
    words="$words $name=$sum"
  done
  echo "files$words"
}

# One replayed state: $1 what reached the disk last, $2 its number.
look() {
  . /tmp/case
  dmsetup create snap --table "0 $size snapshot /dev/mapper/fresh /dev/vdd N 8" || exit 1
  how=mounted
  if ! mount_case /dev/mapper/snap /s 2>/dev/null; then
    # ntfs3 refuses a volume marked dirty, as every state mid-run is; that
    # is its policy, not damage.
    if [ "$driver" = ntfs3 ] && mount_case /dev/mapper/snap /s force 2>/dev/null; then
      how=forced
    else
      how=unmountable
    fi
  fi
  if [ $how = unmountable ]; then
    echo "S $name $2 $1 $how" >&3
  else
    echo "S $name $2 $1 $how $(listing /s/game)" >&3
    if [ "$1" = end ]; then
      # Undone as the README says, the next run must patch again and
      # leave only the two files.
      (cd /s/game && mv -f VELORAC.EXE.bku VELORAC.EXE && printf 'c\n\n' | /camera-patch) \
        >/tmp/next 2>&1
      echo "N $name $? said:$(tail -c 200 /tmp/next | base64 -w 0) $(listing /s/game)" >&3
    fi
    umount /s
  fi
  settle snap || exit 1
}

# Removes the device $1; a FUSE driver may hold it a moment after its unmount.
settle() {
  tries=0
  until dmsetup remove "$1" 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 30 ] || return 1
    sleep 1
  done
}

if [ "$1" = look ]; then
  exec 3>>/dev/ttyS1
  look "$2" "$3"
  exit 0
fi

/bin/busybox mkdir -p /proc /sys /dev /tmp /m /s
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for module in $(cat /modules/order); do
  insmod "/modules/$module" || echo "insmod $module failed"
done
exec 3>/dev/ttyS1
# Nothing may stop to ask (mv on a file system gone read-only would).
exec </dev/null

# name driver data_start size log_start log_size earlier, in 512-byte sectors
while read -r name driver start size log_start log_size earlier; do
  echo "name=$name driver=$driver size=$size" >/tmp/case
  # Nothing of a case before, damaged or not, carries into this one.
  dmsetup remove_all
  dmsetup create data --table "0 $size linear /dev/vda $start" &&
    dmsetup create log --table "0 $log_size linear /dev/vdb $log_start" &&
    dmsetup create fresh --table "0 $size linear /dev/vdc $start" &&
    dmsetup create recorded --table "0 $size log-writes /dev/mapper/data /dev/mapper/log" &&
    mount_case /dev/mapper/recorded /m || { echo "X $name could not be set up" >&3; continue; }
  mkdir /m/game
  # With their old times: a file written just now would first be watched.
  cp -p /original /m/game/VELORAC.EXE
  files=/m/game/VELORAC.EXE
  if [ "$earlier" = 1 ]; then
    cp -p /earlier /m/game/VELORAC.EXE.bku
    files="$files /m/game/VELORAC.EXE.bku"
  fi
  # On vfat a plain sync sends no flush: the files and folders themselves.
  sync $files /m/game /m
  sync
  dmsetup message recorded 0 mark start
  (cd /m/game && printf 'c\n\n' | /camera-patch >/tmp/out)
  status=$?
  dmsetup message recorded 0 mark end
  echo "O $name $status $(base64 -w 0 /tmp/out)" >&3
  umount /m
  settle recorded || echo "X $name the recording device stayed busy" >&3
  log_replay /dev/mapper/log /dev/mapper/fresh start end /init look ||
    echo "X $name the replay failed" >&3
  dmsetup remove fresh
  dmsetup remove log
  dmsetup remove data
  echo "C $name" >&3
done </cases
echo "ALL" >&3
sync
reboot -f
