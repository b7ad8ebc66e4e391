#!/usr/bin/env bash
# Boots Debian's own kernel under qemu (software emulation) with the Debian
# root that debian_root.sh builds in $MEDIAKEY_VM_ROOT (default:
# WORK_DIR/debian), systemd-udevd running on Debian's rules and hwdb and
# settled where the root has it, runs SCRIPT there as root and exits with its
# status.  The given files go to /suite, where SCRIPT runs, and what SCRIPT
# leaves in /suite/out comes back to WORK_DIR/out; $MEDIAKEY_VM_APPEND goes
# on the kernel command line.  The root is of $MEDIAKEY_VM_KIND (input by
# default; see debian_root.sh) and of the Debian release $MEDIAKEY_VM_RELEASE
# (bookworm by default, or trixie), whose kernel it boots.  The kernel package
# is downloaded once and unpacked, never installed, into $MEDIAKEY_KERNEL_DIR
# (default: WORK_DIR/kernel).  The machine is $MEDIAKEY_VM_ARCH (amd64 by default, or
# arm64 on qemu's virt board, whose only input device is its power button).
# The machine is stopped after $MEDIAKEY_VM_SECONDS (900 by default).
# Usage: tests/vm/boot.sh WORK_DIR SCRIPT [FILE...]
set -euo pipefail
work=$1
script=$2
shift 2
kernel=$(realpath -m "${MEDIAKEY_KERNEL_DIR:-$work/kernel}")
debian=${MEDIAKEY_VM_ROOT:-$work/debian}
arch=${MEDIAKEY_VM_ARCH:-amd64}
kind=${MEDIAKEY_VM_KIND:-input}
release=${MEDIAKEY_VM_RELEASE:-bookworm}
mkdir -p "$work"
bash "$(dirname "$0")/debian_root.sh" "$debian" "$arch" "$kind" "$release"

# libinput and sway start only where some input device is there already.
# The virtio disk carries out/ back.
modules="evdev uinput virtio virtio_ring virtio_pci virtio_pci_legacy_dev virtio_pci_modern_dev virtio_blk"
case $arch in
# With SMAP, qemu's emulation was seen to fault at the return to 32-bit code,
# which killed every 32-bit Wine process.
amd64) qemu=(qemu-system-x86_64 -cpu max,-smap) console=ttyS0 ;;
# The virt board's default network card wants ipxe-qemu's ROM, and the suite
# needs no network.
arm64) qemu=(qemu-system-aarch64 -M virt -cpu cortex-a53 -nic none) console=ttyAMA0 modules+=" gpio_keys" ;;
*) echo "boot.sh: no VM for $arch" >&2; exit 2 ;;
esac

# This machine's apt knows its own release; another release's kernel comes
# through the root's apt, with package lists kept out of the root.
apt=()
lists=/tmp/kernel-lists
[ "$release" = "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" ] ||
    apt=(chroot "$debian/root" env -C /tmp)
apt_get() {
    "${apt[@]}" "$1" ${apt:+-o "Dir::State::Lists=$lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=} "${@:2}"
}
# Nothing where apt's lists do not know the package yet.
kernel_package() {
    { apt_get apt-cache depends "linux-image-$arch:$arch" 2>/dev/null || true; } |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}

# The kernel, and the modules above where their own tree places them, so that
# depmod can index them for a root that loads modules by name.
if [ ! -f "$kernel/ready" ] || [ "$(cat "$kernel/ready")" != "$release: $modules" ]; then
    [ ${#apt[@]} -eq 0 ] || { mkdir -p "$debian/root$lists" && apt_get apt-get update -q >/dev/null; }
    package=$(kernel_package)
    if [ -z "$package" ]; then
        apt_get apt-get update -q >/dev/null
        package=$(kernel_package)
    fi
    [ -n "$package" ] || { echo "boot.sh: no kernel package for linux-image-$arch" >&2; exit 1; }
    echo "boot.sh: fetching $package"
    rm -rf "$kernel"
    mkdir -p "$kernel/deb"
    if [ ${#apt[@]} -eq 0 ]; then
        (cd "$kernel/deb" && apt-get download -q "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    else
        (cd "$debian/root/tmp" && apt_get apt-get download -q "$package" >/dev/null 2>&1 || true)
        mv "$debian"/root/tmp/*.deb "$kernel/deb/"
        rm -rf "${debian:?}/root$lists"
    fi
    dpkg-deb -x "$kernel"/deb/*.deb "$kernel/root"
    cp "$kernel"/root/boot/vmlinuz-* "$kernel/vmlinuz"
    # Debian 13 keeps the modules under /usr, compressed.
    usr=$kernel/root
    [ -d "$usr/lib/modules" ] || usr=$kernel/root/usr
    basename "$usr"/lib/modules/* >"$kernel/version"
    (cd "$usr" && find lib/modules -name '*.ko*' | grep -E "/(${modules// /|})\.ko(\.xz)?$" |
        cpio -pdm --quiet "$kernel/modules")
    rm -rf "$kernel/root" "$kernel/deb"
    echo "$release: $modules" >"$kernel/ready"
fi
version=$(cat "$kernel/version")

suite=$work/suite
rm -rf "$suite"
mkdir -p "$suite/suite"
[ $# -eq 0 ] || cp "$@" "$suite/suite/"
cp "$script" "$suite/suite/run"

# The root is packed once; the suite goes in a second archive after it,
# which the kernel unpacks over the first.
packed=$debian/root.cpio
if [ ! -f "$packed" ] || [ "$debian/ready" -nt "$packed" ]; then
    mkdir -p "$debian/root/lib/modules"
    cp -r "$kernel/modules/lib/modules/$version" "$debian/root/lib/modules/"
    chroot "$debian/root" depmod "$version"
    (cd "$debian/root" && find . | cpio -o -H newc --quiet) >"$packed.new"
    mv "$packed.new" "$packed"
fi
cat >"$suite/init" <<'INIT'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /dev/pts /dev/shm && mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
modprobe evdev
modprobe uinput
if [ -x /lib/systemd/systemd-udevd ]; then
    /lib/systemd/systemd-udevd --daemon
    udevadm trigger --action=add --type=subsystems
    udevadm trigger --action=add --type=devices
    udevadm settle
fi
cd /suite
echo "vm: script"
sh ./run
status=$?
if [ -d out ]; then
    # Built into Debian 13's kernel, modules of Debian 12's.
    modprobe -q virtio_pci
    modprobe -q virtio_blk
    udevadm settle 2>/dev/null
    tar -cf /dev/vda out
fi
echo "vm: exit $status"
# No init is there to ask, nor a busybox of the root's architecture: the
# kernel itself powers off.
echo o >/proc/sysrq-trigger
sleep 60
INIT
chmod +x "$suite/init"
(cd "$suite" && find . | cpio -o -H newc --quiet) >"$work/suite.cpio"
cat "$packed" "$work/suite.cpio" >"$work/initramfs"
rm -rf "$work/out" "$work/out.img"
truncate -s 4G "$work/out.img"

# /dev/kvm may exist, but the guest has been seen to hang at boot under it.
# The root lives in memory, at most half of it: Wine's root unstripped (as
# built on Debian 13), its prefix and that packed for out/ took over 2 GB.
# The emulated kernel was seen to oops in an interrupt while it booted, once in
# many boots: a machine that died before the script began boots once more.
for boot in first second; do
    timeout "${MEDIAKEY_VM_SECONDS:-900}" "${qemu[@]}" -smp 2 -m 6144 -nographic -no-reboot \
        -kernel "$kernel/vmlinuz" -initrd "$work/initramfs" \
        -drive "file=$work/out.img,format=raw,if=virtio" \
        -append "console=$console panic=-1 quiet ${MEDIAKEY_VM_APPEND:-}" </dev/null | tee "$work/console.log"
    ! grep -q 'vm: script' "$work/console.log" && grep -q 'Kernel panic' "$work/console.log" || break
    echo "boot.sh: the kernel died before the script began, after its $boot boot" >&2
done
# A program that drew on the console may leave its escapes before the line.
status=$(sed -n 's/.*vm: exit \([0-9]*\).*/\1/p' "$work/console.log" | tail -n 1)
[ -n "$status" ] || { echo "boot.sh: the VM did not finish its script" >&2; exit 1; }
# A guest with no out/ wrote nothing: the disk is zeros.
[ -z "$(head -c 512 "$work/out.img" | tr -d '\0')" ] || tar -xf "$work/out.img" -C "$work"
rm "$work/out.img"
exit "$status"
