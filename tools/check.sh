#!/usr/bin/env bash
# Sets up, then runs every workflow preset (configure, build and the preset's tests: unit,
# rendering and end-to-end tests natively and under the sanitizers, the Win32 backend tests under
# wine), the Windows program's end-to-end tests under wine, builds the packages and checks them
# as a user gets them (tools/check_packages.sh, the Debian package also installed by apt in a
# minimal Debian root), and runs each fuzz target for a bounded time.
# Ends with "N passed, M failed" over the stages and exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/packages.sh
source tools/check_packages.sh
tools/install_packages.sh "${build_packages[@]}" "${run_packages[@]}" "${check_packages[@]}" || exit 1

export CMAKE_BUILD_PARALLEL_LEVEL=${TESSVANE_JOBS:-2}
fuzz_seconds=${TESSVANE_FUZZ_SECONDS:-30}
passed=0
failed=0
failures=()

stage() {
    local name=$1
    shift
    echo
    echo "=== $name"
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$name")
    fi
}

# The whole log only on failure; otherwise ctest's tally, if the preset has tests.
workflow() {
    local log="build/$1.log"
    if ! cmake --workflow --preset "$1" >"$log" 2>&1; then
        tail -n 80 "$log"
        return 1
    fi
    grep -E "tests passed" "$log"
    echo "built build/$1"
}

fuzz() {
    local target=$1 corpus=$2
    local scratch
    scratch=$(mktemp -d)
    cp -r "$root/fuzz/corpus/$corpus/." "$scratch/"
    (cd "$scratch" && "$root/build/fuzz/$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        "$scratch" 2>&1 | tail -n 12)
    local status=${PIPESTATUS[0]}
    rm -rf "$scratch"
    return "$status"
}

# tessvane-find.exe under wine on the demo file: exactly its four pictures, and the same lines as
# the native program.
find_under_wine() {
    local scratch status=0
    scratch=$(mktemp -d)
    python3 tools/make_demo.py "$scratch" >/dev/null &&
        build/release/tessvane-find --tsv "$scratch/demo.bin" >"$scratch/native.tsv" &&
        (cd "$scratch" && timeout 600 "$root/cmake/run-under-wine.sh" \
            "$root/build/windows/tessvane-find.exe" --tsv demo.bin >wine.tsv) || status=1
    cat "$scratch/wine.tsv"
    demo_finds_ok "$scratch/wine.tsv" || status=1
    cmp -s "$scratch/native.tsv" "$scratch/wine.tsv" || status=1
    rm -rf "$scratch"
    return "$status"
}

mkdir -p build
for preset in native sanitize release windows fuzz; do
    stage "workflow $preset" workflow "$preset"
done
stage "end-to-end under wine" python3 tests/e2e/run_wine.py build/windows/tessvane.exe
stage "tessvane-find.exe under wine" find_under_wine
stage "packages" tools/package.sh
stage "Windows zip, unpacked, under wine" tools/check_packages.sh zip
stage "Debian package: lintian, unpacked" tools/check_packages.sh deb
stage "Debian package: installed by apt in a minimal root" tools/check_packages.sh deb-root
stage "fuzz settings" fuzz fuzz_settings settings
stage "fuzz page loading" fuzz fuzz_load_page load_page
stage "fuzz finder" fuzz fuzz_find find

echo
for name in "${failures[@]}"; do
    echo "failed: $name"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
