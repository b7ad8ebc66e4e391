#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built (lintian has passed them):
# exactly the files each ships, the static program with the glibc it embeds
# in Built-Using, and the udev rule applied by the maintainer scripts only
# where udev runs.
# Usage: tests/package/debs_test.sh PACKAGES_DIR
set -uo pipefail
dir=$1
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

deb() {
    local found=("$dir/$1"_*.deb)
    [ -f "${found[0]}" ] || { echo "FAIL: no $1 package in $dir" >&2; exit 1; }
    echo "${found[0]}"
}
runtime=$(deb mediakey)
development=$(deb mediakey-dev)

files() {
    dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||' | sort | paste -sd ' '
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
while IFS='|' read -r package expected; do
    got=$(files "$(deb "$package")")
    [ "$got" = "$expected" ] || fail "$package ships '$got', want '$expected'"
done <<FILES
mediakey|lib/udev/rules.d/60-mediakey.rules usr/bin/mediakey usr/share/bash-completion/completions/mediakey usr/share/doc/mediakey/README.md.gz usr/share/doc/mediakey/changelog.gz usr/share/doc/mediakey/copyright usr/share/fish/vendor_completions.d/mediakey.fish usr/share/lintian/overrides/mediakey usr/share/man/man1/mediakey.1.gz usr/share/zsh/vendor-completions/_mediakey
mediakey-dev|usr/include/command_codes.h usr/lib/$multiarch/cmake/mediakey/mediakeyConfig.cmake usr/lib/$multiarch/cmake/mediakey/mediakeyConfigVersion.cmake usr/lib/$multiarch/cmake/mediakey/mediakeyTargets-none.cmake usr/lib/$multiarch/cmake/mediakey/mediakeyTargets.cmake usr/lib/$multiarch/libcommand_codes.a usr/lib/$multiarch/pkgconfig/mediakey.pc usr/share/doc/mediakey-dev/changelog.gz usr/share/doc/mediakey-dev/copyright
FILES

glibc=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' libc6-dev)
built_using=$(dpkg-deb -f "$runtime" Built-Using)
[ "$built_using" = "$glibc" ] || fail "Built-Using is '$built_using', want '$glibc'"
depends=$(dpkg-deb -f "$runtime" Depends)
[ -z "$depends" ] || fail "the static program depends on '$depends'"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -R "$runtime" "$unpacked"
readelf -d "$unpacked/usr/bin/mediakey" 2>/dev/null | grep -q NEEDED &&
    fail "usr/bin/mediakey needs shared libraries"
"$unpacked/usr/bin/mediakey" SHUTDOWNS >"$unpacked/out"
[ "$(cat "$unpacked/out")" = "Key 'SHUTDOWNS' not supported." ] || fail "the packaged program answers '$(cat "$unpacked/out")'"
rules=$(grep -v '^#' "$unpacked/lib/udev/rules.d/60-mediakey.rules")
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

[ "$failures" -eq 0 ] && echo "packages: all checks passed"
[ "$failures" -eq 0 ]
