#!/usr/bin/env bash
# Builds the Debian packages housectl, discovery-daemon and ip-house-platform
# for this machine (amd64) and, cross, for the device (armhf) into
# build/deb/, from a copy of the project's files (so nothing is written
# beside the checkout), and checks each package with lintian.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh packages
out=build/deb
rm -rf "$out"
version=$(dpkg-parsechangelog -S Version)
src=$out/src/ip-house-$version
mkdir -p "$src"
# From a git checkout, the files git knows (not what is ignored); from a
# source tree without git (a tarball), the tree as it is, but for what
# builds and test set-ups leave.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$src"
else
    echo "package: not a git checkout: packaging the tree as it is"
    tar -cf - --exclude=./build --exclude=./.git --exclude=./tests/interop/node_modules . |
        tar -xf - -C "$src"
fi

build() {  # dpkg-buildpackage options...
    local t0=$SECONDS
    (cd "$src" && dpkg-buildpackage -b -us -uc "$@" >../build.log 2>&1) ||
        { tail -n 40 "$out/src/build.log"; echo "package: the build failed ($*)"; exit 1; }
    (cd "$src" && debian/rules clean >/dev/null 2>&1)
    echo "package: built $* in $((SECONDS - t0)) s"
}
build -Pnocheck
build -aarmhf -Pcross,nocheck
mv "$out"/src/*.deb "$out"/
rm -rf "$out/src"

status=0
for deb in "$out"/*.deb; do
    if lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$deb.lintian" 2>&1; then
        echo "package: $(basename "$deb"): lintian clean"
    else
        cat "$deb.lintian"
        echo "package: $(basename "$deb"): lintian found errors or warnings"
        status=1
    fi
done
exit $status
