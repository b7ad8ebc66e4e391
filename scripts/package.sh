#!/usr/bin/env bash
# Builds the Debian packages mediakey and mediakey-dev from this checkout for
# one Debian architecture (this machine's, or cross-built for another in the
# build root of scripts/build_root.sh), leaves them in build/packages/ beside
# those of the other architectures and checks them with lintian.  The suites run in scripts/test.sh, so the
# package build skips them (nocheck).
# Usage: scripts/package.sh [--arch ARCH]   (ARCH: amd64 arm64 armhf armel ...)
set -euo pipefail
cd "$(dirname "$0")/.."

native=$(dpkg --print-architecture)
arch=$native
if [ $# -gt 0 ]; then
    [ $# -eq 2 ] && [ "$1" = --arch ] && [ -n "$2" ] ||
        { echo "usage: scripts/package.sh [--arch ARCH]" >&2; exit 2; }
    arch=$2
fi
cross=()
if [ "$arch" = "$native" ]; then
    scripts/deps.sh host package
elif [ -f /etc/mediakey-build-root ]; then
    scripts/deps.sh host package "$arch"
    cross=(-a "$arch")
else
    exec bash scripts/build_root.sh bash scripts/package.sh --arch "$arch"
fi

# dpkg-buildpackage works in the source tree and writes beside it: a copy of
# the checkout (committed or not, without build/) keeps the worktree clean.
work=build/package-build-$arch
version=$(dpkg-parsechangelog -S Version)
source="$work/mediakey-$version"
rm -rf "$work" build/packages/mediakey*_"$arch".deb
mkdir -p "$source" build/packages
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$source"

(cd "$source" && DEB_BUILD_OPTIONS="nocheck noddebs ${DEB_BUILD_OPTIONS-}" \
    dpkg-buildpackage -us -uc -b "${cross[@]}")
lintian --fail-on error,warning "$work"/*.deb
mv "$work"/*.deb build/packages/
rm -rf "$work"
ls -l build/packages/*_"$arch".deb
