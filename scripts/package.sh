#!/usr/bin/env bash
# Builds the Debian packages mediakey and mediakey-dev from this checkout,
# leaves them in build/packages/ and checks them with lintian.  The suites run
# in scripts/test.sh, so the package build skips them (nocheck).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh host package

# dpkg-buildpackage works in the source tree and writes beside it: a copy of
# the checkout (committed or not, without build/) keeps the worktree clean.
work=build/package-build
version=$(dpkg-parsechangelog -S Version)
source="$work/mediakey-$version"
rm -rf "$work" build/packages
mkdir -p "$source" build/packages
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$source"

(cd "$source" && DEB_BUILD_OPTIONS="nocheck noddebs ${DEB_BUILD_OPTIONS-}" \
    dpkg-buildpackage -us -uc -b)
mv "$work"/*.deb build/packages/
rm -rf "$work"

lintian --fail-on error,warning build/packages/*.deb
ls -l build/packages/
