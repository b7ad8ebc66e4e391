#!/usr/bin/env bash
# Makes a release of the committed tree (HEAD): the Windows ZIP, a Linux
# tarball and the Debian packages for each architecture, and SHA256SUMS over
# them, in build/release/mediakey-VERSION/.  The same commit gives the same
# bytes whatever the directory, the time, the umask or the time zone, and
# whatever the machine has installed: it is all built in the build root of
# scripts/build_root.sh, whose packages come from the release alone.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f /etc/mediakey-build-root ] || exec bash scripts/build_root.sh bash scripts/release.sh "$@"
root=$PWD

# Tarball name | Debian architecture | toolchain file (none: this machine's).
all_targets=(
    "x86_64|amd64|"
    "aarch64|arm64|cmake/aarch64-linux-gnu.cmake"
    "armhf|armhf|cmake/arm-linux-gnueabihf.cmake"
    "armel|armel|cmake/arm-linux-gnueabi.cmake"
)
# A release holds every architecture.  MEDIAKEY_RELEASE_ARCHES leaves some
# out, for a quicker check of the rest.
arches=" ${MEDIAKEY_RELEASE_ARCHES:-amd64 arm64 armhf armel} "
targets=() foreign=()
for target in "${all_targets[@]}"; do
    IFS='|' read -r _ deb_arch toolchain <<<"$target"
    [[ "$arches" == *" $deb_arch "* ]] || continue
    targets+=("$target")
    [ -z "$toolchain" ] || foreign+=("$deb_arch")
done

scripts/deps.sh host package release "${foreign[@]}"

commit=$(git rev-parse HEAD)
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "release.sh: uncommitted changes are not in the release; it is made of $commit" >&2

# Everything that ends up in a file is fixed here rather than taken from the
# builder: the time is the last commit's, modes do not follow the umask, the
# ZIP's local times are UTC's, and no message or sort order follows a locale.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export TZ=UTC LC_ALL=C.UTF-8
umask 022

work=$root/build/release-work
src=$work/src
rm -rf "$work"
mkdir -p "$work"
git clone -q --no-hardlinks "$root" "$src"
git -C "$src" checkout -q --detach "$commit"
version=$(sed -n 's/^project(mediakey VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "release.sh: no version in CMakeLists.txt" >&2; exit 1; }
out=$root/build/release/mediakey-$version
rm -rf "$out"
mkdir -p "$out"

# The paths of this machine stay out of the programs.
prefix_map="-ffile-prefix-map=$src=. -ffile-prefix-map=$work=."

# Builds the runtime with TOOLCHAIN (may be empty) under build directory DIR
# and installs it into STAGE; further arguments go to the install.
build_runtime() {
    local toolchain=$1 dir=$2 stage=$3
    shift 3
    cmake -S "$src" -B "$dir" -G Ninja ${toolchain:+--toolchain "$src/$toolchain"} \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="$prefix_map" >/dev/null
    cmake --build "$dir"
    cmake --install "$dir" --component runtime --prefix "$stage" "$@" >/dev/null
}

# Archives hold their files sorted by name, owned by root, with the commit's
# time and modes that depend on nothing but whether a file is a program.
normalize() {
    chmod -R u=rwX,go=rX "$1"
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

echo "=== windows-x86"
name=mediakey-$version-windows-x86
build_runtime cmake/mingw-i686.cmake "$work/windows-x86" "$work/stage/$name"
normalize "$work/stage/$name"
# -X leaves out the owner and extra times; the DOS times are local, hence UTC.
(cd "$work/stage" && find "$name" -type f | sort | zip -q -X -9 "$out/$name.zip" -@)

for target in "${targets[@]}"; do
    IFS='|' read -r arch deb_arch toolchain <<<"$target"
    echo "=== linux-$arch"
    name=mediakey-$version
    stage=$work/stage-$arch/$name
    # Stripped as the packages' program is; the Windows one is linked so.
    build_runtime "$toolchain" "$work/linux-$arch" "$stage" --strip
    # The packaged rules, where udev looks under /usr/local as well.
    install -D -m 644 "$src/debian/mediakey.udev" "$stage/lib/udev/rules.d/60-mediakey.rules"
    normalize "$stage"
    tar -C "$(dirname "$stage")" --sort=name --owner=0 --group=0 --numeric-owner \
        --format=gnu -cf - "$name" | gzip -n -9 >"$out/mediakey-$version-linux-$arch.tar.gz"

    echo "=== packages $deb_arch"
    (cd "$src" && bash scripts/package.sh --arch "$deb_arch")
    cp "$src/build/packages/mediakey_${version}_$deb_arch.deb" \
        "$src/build/packages/mediakey-dev_${version}_$deb_arch.deb" "$out/"
done

(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort |
    xargs sha256sum -- >SHA256SUMS)
rm -rf "$work"
echo "=== release $version of $commit in ${out#"$root"/}"
(cd "$out" && ls -l --time-style=+ | sed 1d)
