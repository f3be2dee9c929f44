#!/usr/bin/env bash
# Builds the two packages into dist/: the Windows zip from the windows preset and the Debian
# package from the release preset. Only the packaged programs are built, not the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
# Configuring a preset needs what its tests and benchmarks need, so the check list as well.
tools/install_packages.sh "${build_packages[@]}" "${check_packages[@]}"

export CMAKE_BUILD_PARALLEL_LEVEL=${TESSVANE_JOBS:-2}
mkdir -p dist
rm -f dist/tessvane[-_]*
for preset in release windows; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target tessvane tessvane-find tessvane_package_files
    rm -rf "build/$preset/packages"
    cpack --config "build/$preset/CPackConfig.cmake" -B "build/$preset/packages" >/dev/null
    for package in "build/$preset/packages"/*.deb "build/$preset/packages"/*.zip; do
        [ -e "$package" ] || continue
        cp "$package" dist/
        echo "dist/$(basename "$package")"
    done
done
