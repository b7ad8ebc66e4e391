#!/usr/bin/env bash
# Boots the Debian root of the VM suites under systemd as init, with the
# mediakey package installed, an ordinary user "desktop" logged in on tty1 by
# a getty with autologin (logind makes that the active session of seat0) and a
# second user "other", and runs session_suite.sh there.  The root with the
# package is built once per package and root, under WORK_DIR/root.
# Usage: tests/vm/session.sh WORK_DIR DEBIAN_ROOT_DIR KERNEL_DIR DEB
set -euo pipefail
work=$1
debian=$2
kernel=$3
deb=$4
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
version=$(cat "$kernel/version")

stamp="$(cat "$debian/ready") $(sha256sum <"$deb" | cut -d' ' -f1) $(sha256sum <"$0" | cut -d' ' -f1)"
root=$work/root
if [ ! -f "$work/ready" ] || [ "$(cat "$work/ready")" != "$stamp" ]; then
    echo "session.sh: building the session root under $work (once per package)"
    rm -rf "$root" "$work/ready" "$work/root.cpio"
    cp -a "$debian/root" "$root"
    mkdir -p "$root/lib/modules"
    cp -r "$kernel/modules/lib/modules/$version" "$root/lib/modules/"
    chroot "$root" depmod "$version"
    chroot "$root" useradd --create-home desktop
    chroot "$root" useradd --create-home other
    # The session's shell serves the suite's requests.
    echo '[ "$(tty)" = /dev/tty1 ] && exec sh /suite/session_user.sh' >"$root/home/desktop/.profile"
    # Installed as a user installs it; no udev runs in the chroot.
    cp "$deb" "$root/tmp/mediakey.deb"
    chroot "$root" apt-get install -y -q /tmp/mediakey.deb >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; exit 1; }
    rm "$root/tmp/mediakey.deb"

    units=$root/etc/systemd/system
    mkdir -p "$units/getty@tty1.service.d"
    cat >"$units/getty@tty1.service.d/autologin.conf" <<'UNIT'
[Service]
ExecStart=
ExecStart=-/sbin/agetty --autologin desktop --noclear %I $TERM
UNIT
    cat >"$units/mediakey-session.service" <<'UNIT'
[Unit]
Description=mediakey session suite
After=systemd-logind.service getty@tty1.service

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'cd /suite && echo "vm: script" && sh ./run; systemctl poweroff --force --force'
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
UNIT
    ln -s ../mediakey-session.service "$units/multi-user.target.wants/"
    # What the suite does not need, to boot faster; the serial console is
    # the suite's.
    for unit in serial-getty@ttyS0.service seatd.service e2scrub_reap.service \
        systemd-pstore.service remote-fs.target timers.target apt-daily.service \
        apt-daily-upgrade.service systemd-timesyncd.service; do
        ln -sf /dev/null "$units/$unit"
    done
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$work/root.cpio"
    echo "$stamp" >"$work/ready"
fi

suite=$work/suite
rm -rf "$suite"
mkdir -p "$suite/suite"
cp "$here/session_suite.sh" "$suite/suite/run"
cp "$here/session_user.sh" "$suite/suite/"
cp "$deb" "$suite/suite/mediakey.deb"
(cd "$suite" && find . | cpio -o -H newc --quiet) >"$work/suite.cpio"
cat "$work/root.cpio" "$work/suite.cpio" >"$work/initramfs"

# systemd as PID 1 straight from the initramfs; qemu's VGA console keeps the
# virtual terminals that the session needs.
# The emulated kernel was seen to oops while it booted, once in many boots: a
# machine that died before the suite began boots once more.
for boot in first second; do
    timeout 600 qemu-system-x86_64 -cpu max -smp 2 -m 2048 -nographic -no-reboot \
        -kernel "$kernel/vmlinuz" -initrd "$work/initramfs" \
        -append "console=ttyS0 rdinit=/sbin/init panic=-1 quiet systemd.show_status=0" \
        </dev/null | tee "$work/console.log"
    ! grep -q 'vm: script' "$work/console.log" && grep -q 'Kernel panic' "$work/console.log" || break
    echo "session.sh: the kernel died before the suite began, after its $boot boot" >&2
done
status=$(sed -n 's/^vm: exit \([0-9]*\).*/\1/p' "$work/console.log" | tail -n 1)
[ -n "$status" ] || { echo "session.sh: the VM did not finish its suite" >&2; exit 1; }
exit "$status"
