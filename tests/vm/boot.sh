#!/usr/bin/env bash
# Boots Debian's own kernel under qemu (software emulation) with an initramfs
# that holds busybox, the kernel's evdev and uinput modules and the given
# files, runs SCRIPT there as root and exits with its status.  The kernel
# package is downloaded once and unpacked, never installed, into
# $MEDIAKEY_KERNEL_DIR (default: WORK_DIR/kernel).
# Usage: tests/vm/boot.sh WORK_DIR SCRIPT [FILE...]
set -euo pipefail
work=$1
script=$2
shift 2
kernel=${MEDIAKEY_KERNEL_DIR:-$work/kernel}
mkdir -p "$work"

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}

if [ ! -f "$kernel/ready" ]; then
    package=$(kernel_package)
    if [ -z "$package" ]; then
        apt-get update -q >/dev/null
        package=$(kernel_package)
    fi
    [ -n "$package" ] || { echo "boot.sh: no kernel package for linux-image-amd64" >&2; exit 1; }
    echo "boot.sh: fetching $package"
    rm -rf "$kernel"
    mkdir -p "$kernel/deb"
    (cd "$kernel/deb" && apt-get download -q "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    dpkg-deb -x "$kernel"/deb/*.deb "$kernel/root"
    cp "$kernel"/root/boot/vmlinuz-* "$kernel/vmlinuz"
    cp "$(find "$kernel/root" -name evdev.ko)" "$(find "$kernel/root" -name uinput.ko)" "$kernel/"
    rm -rf "$kernel/root" "$kernel/deb"
    touch "$kernel/ready"
fi

root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,modules,proc,suite,sys,tmp}
cp /bin/busybox "$root/bin/"
cp "$kernel/evdev.ko" "$kernel/uinput.ko" "$root/modules/"
cp "$@" "$root/suite/"
cp "$script" "$root/suite/run"
cat >"$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin HOME=/tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
insmod /modules/evdev.ko
insmod /modules/uinput.ko
cd /suite
sh ./run
echo "vm: exit $?"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"

# /dev/kvm may exist, but the guest has been seen to hang at boot under it.
timeout 900 qemu-system-x86_64 -cpu max -smp 2 -m 1024 -nographic -no-reboot \
    -kernel "$kernel/vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet" </dev/null | tee "$work/console.log"
status=$(sed -n 's/^vm: exit \([0-9]*\).*/\1/p' "$work/console.log" | tail -n 1)
[ -n "$status" ] || { echo "boot.sh: the VM did not finish its script" >&2; exit 1; }
exit "$status"
