#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built (lintian has passed them),
# those of each architecture found: exactly the files each ships, the static
# program of that architecture with the glibc it embeds in Built-Using, and
# the udev rule applied by the maintainer scripts only where udev runs.
# Usage: tests/package/debs_test.sh PACKAGES_DIR [ARCH...]   (default: every
#        architecture there; a cross-built one where its cross C library is)
set -uo pipefail
dir=$1
shift
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

deb() {
    local found=("$dir/$1"_*_"$arch".deb)
    [ -f "${found[0]}" ] || { echo "FAIL: no $1 package for $arch in $dir" >&2; exit 1; }
    echo "${found[0]}"
}

# Debian 13's debhelper moves /lib under /usr: either is the same place.
files() {
    dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||; s|^usr/lib/udev/|lib/udev/|' |
        sort | paste -sd ' '
}

# The machine and, for 32-bit ARM, the float ABI in the program's ELF header.
elf_header() {
    readelf -h "$1" | sed -n 's/^ *\(Machine\|Flags\): *//p' | paste -sd ' '
}
declare -A elf=([amd64]='^Advanced Micro Devices X86-64 ' [arm64]='^AArch64 '
    [armhf]='^ARM .*hard-float ABI' [armel]='^ARM .*soft-float ABI')

runtimes=("$dir"/mediakey_*.deb)
[ -f "${runtimes[0]}" ] || { echo "FAIL: no mediakey package in $dir" >&2; exit 1; }
for arch in "$@"; do
    compgen -G "$dir/mediakey_*_$arch.deb" >/dev/null || fail "no mediakey package for $arch in $dir"
done
for runtime in "${runtimes[@]}"; do
    arch=$(dpkg-deb -f "$runtime" Architecture)
    [ $# -eq 0 ] || [[ " $* " == *" $arch "* ]] || continue
    echo "packages for $arch"
    multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    while IFS='|' read -r package expected; do
        got=$(files "$(deb "$package")")
        [ "$got" = "$expected" ] || fail "$package ships '$got', want '$expected'"
    done <<FILES
mediakey|lib/udev/rules.d/60-mediakey.rules usr/bin/mediakey usr/share/applications/mediakey.desktop usr/share/bash-completion/completions/mediakey usr/share/doc/mediakey/README.md.gz usr/share/doc/mediakey/changelog.gz usr/share/doc/mediakey/copyright usr/share/fish/vendor_completions.d/mediakey.fish usr/share/lintian/overrides/mediakey usr/share/man/man1/mediakey.1.gz usr/share/zsh/vendor-completions/_mediakey
mediakey-dev|usr/include/command_codes.h usr/lib/$multiarch/cmake/mediakey/mediakeyConfig.cmake usr/lib/$multiarch/cmake/mediakey/mediakeyConfigVersion.cmake usr/lib/$multiarch/cmake/mediakey/mediakeyTargets-none.cmake usr/lib/$multiarch/cmake/mediakey/mediakeyTargets.cmake usr/lib/$multiarch/libcommand_codes.a usr/lib/$multiarch/pkgconfig/mediakey.pc usr/share/doc/mediakey-dev/changelog.gz usr/share/doc/mediakey-dev/copyright
FILES

    # The C library linked: the native one, or the cross compiler's own, built
    # from the glibc its Built-Using names.
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        glibc=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' libc6-dev)
    else
        glibc=$(dpkg-query -W -f='${Built-Using}' "libc6-dev-$arch-cross" | grep -o 'glibc (= [^)]*)')
    fi
    built_using=$(dpkg-deb -f "$runtime" Built-Using)
    [ "$built_using" = "$glibc" ] || fail "Built-Using is '$built_using', want '$glibc'"
    depends=$(dpkg-deb -f "$runtime" Depends)
    [ -z "$depends" ] || fail "the static program depends on '$depends'"

    unpacked=$(mktemp -d)
    trap 'rm -rf "$unpacked"' EXIT
    dpkg-deb -R "$runtime" "$unpacked"
    [[ "$(elf_header "$unpacked/usr/bin/mediakey")" =~ ${elf[$arch]} ]] ||
        fail "usr/bin/mediakey is not a program for $arch: $(elf_header "$unpacked/usr/bin/mediakey")"
    readelf -d "$unpacked/usr/bin/mediakey" 2>/dev/null | grep -q NEEDED &&
        fail "usr/bin/mediakey needs shared libraries"
    "$unpacked/usr/bin/mediakey" SHUTDOWNS >"$unpacked/out"
    [ "$(cat "$unpacked/out")" = "Key 'SHUTDOWNS' not supported." ] || fail "the packaged program answers '$(cat "$unpacked/out")'"
    # KWin admits the program by this file: the path it runs from, and the
    # interface.
    grep -qx 'Exec=/usr/bin/mediakey' "$unpacked/usr/share/applications/mediakey.desktop" &&
        grep -qx 'X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input' \
            "$unpacked/usr/share/applications/mediakey.desktop" ||
        fail "the application file does not admit /usr/bin/mediakey to KWin's fake input"
    # Debian 13's debhelper moves the rule under /usr.
    rules=$(grep -hv '^#' "$unpacked"/{,usr/}lib/udev/rules.d/60-mediakey.rules 2>/dev/null || true)
    [ "$rules" = 'KERNEL=="uinput", SUBSYSTEM=="misc", TAG+="uaccess", OPTIONS+="static_node=uinput"
SUBSYSTEM=="input", KERNEL=="event*", ATTRS{name}=="mediakey", TAG+="uaccess"' ] ||
        fail "the udev rules are not the uaccess rules: $rules"

    # The scripts touch udev only where it runs: with no udev socket (a chroot, a
    # container) they do nothing and succeed.  The session VM covers udev itself.
    if [ ! -S /run/udev/control ]; then
        mkdir -p "$unpacked/bin"
        printf '#!/bin/sh\necho "udevadm $*" >>"%s/calls"\n' "$unpacked" >"$unpacked/bin/udevadm"
        chmod +x "$unpacked/bin/udevadm"
        for run in "postinst configure" "postrm remove" "postrm purge"; do
            read -r script argument <<<"$run"
            PATH="$unpacked/bin:$PATH" sh "$unpacked/DEBIAN/$script" "$argument" ||
                fail "$run failed without udev"
        done
        [ ! -e "$unpacked/calls" ] || fail "the scripts called udevadm without udev: $(cat "$unpacked/calls")"
    fi
    rm -rf "$unpacked"
done

[ "$failures" -eq 0 ] && echo "packages: all checks passed"
[ "$failures" -eq 0 ]
