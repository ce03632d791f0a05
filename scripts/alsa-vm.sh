#!/usr/bin/env bash
# usage: scripts/alsa-vm.sh [--] COMMAND [ARGS...]
#
# Runs COMMAND as root in a small virtual machine that has the kernel's ALSA sequencer
# (snd-seq, snd-seq-dummy) and four virtual raw MIDI ports (snd-virmidi), which this machine
# itself has not: no /dev/snd here. The guest runs Debian's kernel under plain emulation (KVM
# hangs at early boot on these machines) and sees the host's whole file system read-only at the
# same paths (virtio-9p), with a throwaway writable layer in memory on top, a fresh /proc, /sys,
# /dev and /tmp (a current directory under /tmp stays visible). COMMAND starts in the current directory; its standard output and error come out
# on this script's standard output, and its exit status is this script's own. The guest powers
# off when COMMAND ends.
#
# Exit status: COMMAND's; 124 when the run took longer than TARNET_VM_TIMEOUT seconds (default
# 1500); 125 when the guest could not be started or did not report an exit status (the guest's
# console is printed to standard error then).
#
# Environment: TARNET_VM_TIMEOUT (seconds), TARNET_VM_CPUS (default 2), TARNET_VM_MEMORY
# (default 2048, MiB). Variables named TARNET_* and JACK_DEFAULT_SERVER are passed into the guest.
set -uo pipefail

die() { echo "alsa-vm: $*" >&2; exit 125; }

[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
bash "$here/install-deps.sh" >/dev/null || die "installing the packages (scripts/install-deps.sh) failed"

kernel=$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] && [ -r "$kernel" ] || die "no readable kernel image in /boot (package linux-image-amd64)"
kver=${kernel#/boot/vmlinuz-}
moddir=/lib/modules/$kver
[ -d "$moddir" ] || die "no modules for kernel $kver in $moddir"
qemu=$(command -v qemu-system-x86_64) || die "qemu-system-x86_64 is missing (package qemu-system-x86)"
busybox=/bin/busybox
[ -x "$busybox" ] && "$busybox" --list 2>/dev/null | grep -x insmod >/dev/null || die "$busybox (package busybox-static) is missing"

timeout_s=${TARNET_VM_TIMEOUT:-1500}
cpus=${TARNET_VM_CPUS:-2}
memory=${TARNET_VM_MEMORY:-2048}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnet-vm.XXXXXX") || die "can't make a work directory"
qemu_pid=
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the initramfs: busybox and the modules that mount the host's root ------------------------
# Built once per kernel and kept; rebuilt when this script changes.
cache=${XDG_CACHE_HOME:-/var/tmp}/tarnet-alsa-vm
stamp=$(cat "$0" "$busybox" | md5sum | cut -c1-12)
initrd=$cache/initrd-$kver-$stamp.cpio.gz
if [ ! -s "$initrd" ]; then
  mkdir -p "$cache" || die "can't write $cache"
  root=$work/initramfs
  mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/host" "$root/rw" "$root/newroot"
  cp "$busybox" "$root/bin/busybox"
  # Modules in load order (each after the ones it needs); built-in ones are simply absent.
  mods=""
  for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console \
           netfs fscache 9pnet 9pnet_virtio 9p overlay; do
    f=$(grep -E "(^|/)$m\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | cut -d: -f1)
    [ -n "$f" ] || continue
    case "$f" in *.ko) ;; *) die "module $m is compressed ($f); busybox insmod can't load it" ;; esac
    cp "$moddir/$f" "$root/lib/modules/$m.ko"
    mods="$mods $m"
  done
  cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
TARNET_VM_DEBUG=\$(sed -n "s/.*tarnet.debug=\([^ ]*\).*/\1/p" /proc/cmdline)
for m in $mods; do insmod /lib/modules/\$m.ko || echo "alsa-vm guest: insmod \$m failed"; done
fail() { echo "alsa-vm guest: \$*"; poweroff -f; }
# cache=loose: the guest keeps what it has read of the host's files (programs and libraries above
# all, which every process maps again) instead of asking over virtio-9p each time; the host's files
# don't change under a run, so nothing stale is ever read.
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose -r hostroot /host || fail "can't mount the host's root"
[ -n "\$TARNET_VM_DEBUG" ] && echo "guest: root mounted"
mount -t tmpfs -o size=75% rw /rw && mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work overlay /newroot || fail "can't put the overlay on"
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
mount -t tmpfs shm /newroot/dev/shm
job=\$(sed -n 's/.*tarnet.job=\([^ ]*\).*/\1/p' /proc/cmdline)
mkdir -p /newroot/run/tarnet-vm
cp "/newroot\$job" /newroot/run/tarnet-vm/job.sh || fail "can't read the job \$job"
keep=\$(cat "/newroot\${job%/*}/keep" 2>/dev/null)
mount -t tmpfs tmp /newroot/tmp
# A working directory under the host's /tmp stays visible: its own overlay on the fresh /tmp.
if [ -n "\$keep" ]; then
  mkdir -p "/newroot\$keep" /rw/keep-upper /rw/keep-work
  mount -t overlay -o "lowerdir=/host\$keep,upperdir=/rw/keep-upper,workdir=/rw/keep-work" overlay "/newroot\$keep" \
    || fail "can't show \$keep in the guest's /tmp"
fi
port() { for p in /sys/class/virtio-ports/*; do [ "\$(cat \$p/name 2>/dev/null)" = "\$1" ] && echo /dev/\${p##*/}; done; }
out=\$(port out)
st=\$(port status)
[ -n "\$out" ] && [ -n "\$st" ] || fail "no virtio serial ports"
[ -n "\$TARNET_VM_DEBUG" ] && echo "guest: running \$out \$st"
chroot /newroot /bin/sh /run/tarnet-vm/job.sh >"\$out" 2>&1 </dev/null
echo "exit \$?" >"\$st"
sync
poweroff -f
EOF
  chmod +x "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp.$$" && mv "$initrd.tmp.$$" "$initrd" \
    || die "can't build the initramfs"
  rm -rf "$root"
fi

# --- the job: environment, directory, modules, then COMMAND ------------------------------------
# The guest's /tmp is fresh; a current directory under the host's /tmp is shown there as well
# (its top directory below /tmp, so that paths relative to it still resolve).
case "$PWD" in
  /tmp/?*) top=${PWD#/tmp/}; printf '/tmp/%s' "${top%%/*}" >"$work/keep" ;;
esac
{
  echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8'
  # Tests that change the kernel (the USB gadgets of scripts/usb-rig.sh) run only where this is set.
  echo 'export TARNET_VM_GUEST=1'
  env | grep -E '^(TARNET_[A-Za-z0-9_]*|JACK_DEFAULT_SERVER)=' | while IFS='=' read -r k v; do
    printf 'export %s=%q\n' "$k" "$v"
  done
  [ -n "${TARNET_VM_DEBUG:-}" ] && echo 'exec 2>/dev/ttyS0; set -x'
  echo 'modprobe -a snd-seq snd-seq-dummy snd-virmidi || { echo "alsa-vm: the sound modules did not load"; exit 125; }'
  echo 'for _ in $(seq 1 50); do [ -e /dev/snd/seq ] && break; sleep 0.1; done'
  printf 'cd %q || exit 125\n' "$PWD"
  printf 'exec'; printf ' %q' "$@"; echo
} >"$work/job.sh"

status=$work/status
: >"$status"
console=$work/console.log
output=$work/output
: >"$output"
# SMAP is off: TCG emulates a user-mode iretq with supervisor-mode stack reads, which SMAP turns
# into a page fault (Wine returns from its system call dispatcher that way and dies at start-up).
timeout --foreground -k 10 "$timeout_s" "$qemu" \
  -accel tcg,thread=multi -cpu max,-smap -smp "$cpus" -m "$memory" \
  -nodefaults -no-user-config -display none -monitor none -nic none \
  -kernel "$kernel" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 tarnet.job=$work/job.sh tarnet.debug=${TARNET_VM_DEBUG:-}" \
  -no-reboot \
  -serial "file:$console" \
  -fsdev "local,id=hostroot,path=/,readonly=on,multidevs=remap,security_model=none" \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -device virtio-serial-pci \
  -chardev "file,id=out,path=$output" -device virtserialport,chardev=out,name=out \
  -chardev "file,id=status,path=$status" -device virtserialport,chardev=status,name=status \
  </dev/null &
qemu_pid=$!
# COMMAND's output as it comes.
tail -n +1 -f --pid="$qemu_pid" "$output" &
tail_pid=$!
wait "$qemu_pid"
rc=$?
qemu_pid=
wait "$tail_pid"
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
  echo "alsa-vm: no end after $timeout_s s (TARNET_VM_TIMEOUT); the guest was stopped; its console:" >&2
  tail -n 40 "$console" >&2
  exit 124
fi
code=$(sed -n 's/^exit \([0-9]*\).*/\1/p' "$status" | tail -n 1)
if [ -z "$code" ]; then
  echo "alsa-vm: the guest did not run the command (qemu exit $rc); its console:" >&2
  cat "$console" >&2
  exit 125
fi
exit "$code"
