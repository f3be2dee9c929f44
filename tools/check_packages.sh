#!/usr/bin/env bash
# Checks the packages that tools/package.sh left in dist/, each as a user gets it:
#
#   tools/check_packages.sh zip   unpacks the Windows zip into an empty folder, checks that the
#                                 programs import only DLLs of Windows, and runs the viewer's demo
#                                 and the finder in that folder under wine
#   tools/check_packages.sh deb   lintian (no errors), then dpkg -x into an empty root; runs both
#                                 programs from there and reads the manual pages
#
# Sourced, it only defines demo_finds_ok, which tools/check.sh shares.
set -uo pipefail

# A --tsv listing of the demo file holds exactly its four pictures.
demo_finds_ok() {
    tail -n +2 "$1" | cut -f 1-5 | tr '\t' ' ' |
        cmp -s - <(printf '%s\n' "60000 196608 3 256 256" "300000 131072 2 256 256" \
            "480000 65536 1 256 256" "600000 32768 0 256 256")
}

# Runs the command, shows its output and fails if it does not match the expected text.
expect_output() {
    local want=$1 got
    shift
    got=$("$@" 2>&1)
    echo "$got"
    [ "$got" = "$want" ] || { echo "expected: $want"; return 1; }
}

# The demo under a virtual display: its window opens, three steps and a capture (D) work, and
# Escape quits with the status of a normal quit. Runs in the current folder.
demo_runs() {
    python3 "$root/tools/demo_headless.py" "$@" && [ -f capture_0000000001.bmp ] ||
        { echo "the viewer's demo did not run"; return 1; }
}

# Only system DLLs: the list is what the programs need today, all part of every Windows.
imports_system_only() {
    local dll status=0
    for dll in $(x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ {print $3}'); do
        echo "$(basename "$1") imports $dll"
        case ${dll,,} in
            kernel32.dll | user32.dll | gdi32.dll | opengl32.dll | msvcrt.dll | advapi32.dll) ;;
            *) echo "  not a DLL of Windows"; status=1 ;;
        esac
    done
    return "$status"
}

check_zip() {
    local zip=dist/tessvane-$version-windows-x64.zip status=0
    [ -f "$zip" ] || { echo "no $zip"; return 1; }
    unzip -q "$zip" -d "$scratch" || return 1
    local folder=$scratch/tessvane-$version-windows-x64
    expect_output "LICENSE.txt README.md THIRD-PARTY.txt demo.bin tessvane-find.exe tessvane.cfg \
tessvane.exe" bash -c "cd '$folder' && LC_ALL=C ls | xargs" || status=1
    imports_system_only "$folder/tessvane.exe" || status=1
    imports_system_only "$folder/tessvane-find.exe" || status=1

    # One wine prefix for the finder and the viewer, made on first use by run-under-wine.sh.
    export TESSVANE_WINEPREFIX=$root/build/package-wineprefix WINEPREFIX=$root/build/package-wineprefix
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    cd "$folder" || return 1
    expect_output "tessvane-find $version" "$root/cmake/run-under-wine.sh" tessvane-find.exe \
        --version || status=1
    "$root/cmake/run-under-wine.sh" tessvane-find.exe --tsv demo.bin >"$scratch/finds.tsv"
    cat "$scratch/finds.tsv"
    demo_finds_ok "$scratch/finds.tsv" || { echo "not the demo's four finds"; status=1; }
    demo_runs --wait 120 wine tessvane.exe || status=1
    wineserver -k 2>/dev/null
    cd "$root" || return 1
    return "$status"
}

check_deb() {
    local deb=dist/tessvane_${version}_amd64.deb status=0
    [ -f "$deb" ] || { echo "no $deb"; return 1; }
    local report
    report=$(lintian --fail-on error "$deb" 2>&1) || { echo "lintian found errors"; status=1; }
    report=$(grep -v "running with root privileges" <<<"$report")
    echo "lintian: ${report:-no tags}"
    expect_output "$version" dpkg-deb -f "$deb" Version || status=1
    # Found by dpkg-shlibdeps from the programs' libraries, so SDL is among them.
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    grep -q "libsdl2" <<<"$depends" || { echo "no dependencies found"; status=1; }

    local top=$scratch/root
    dpkg -x "$deb" "$top" || return 1
    local examples=$top/usr/share/doc/tessvane/examples
    expect_output "tessvane-find $version" "$top/usr/bin/tessvane-find" --version || status=1
    "$top/usr/bin/tessvane-find" --tsv "$examples/demo.bin" >"$scratch/finds.tsv"
    cat "$scratch/finds.tsv"
    demo_finds_ok "$scratch/finds.tsv" || { echo "not the demo's four finds"; status=1; }

    local page warnings
    for page in tessvane tessvane-find; do
        warnings=$(MANWIDTH=80 man --warnings -l "$top/usr/share/man/man1/$page.1.gz" 2>&1 >"$scratch/$page.txt")
        echo "man $page: $(head -n 1 "$scratch/$page.txt" | xargs), $(wc -l <"$scratch/$page.txt") lines"
        [ -z "$warnings" ] || { echo "$warnings"; status=1; }
        grep -q "Tessvane $version" "$scratch/$page.txt" || { echo "no version in man $page"; status=1; }
    done

    mkdir "$scratch/demo" && cp "$examples"/* "$scratch/demo/" || return 1
    (cd "$scratch/demo" && demo_runs "$top/usr/bin/tessvane") || status=1
    return "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    cd "$(dirname "$0")/.." || exit 1
    root=$(pwd)
    version=$(sed -n 's/^project(Tessvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    case ${1:-} in
        zip) check_zip ;;
        deb) check_deb ;;
        *) echo "usage: check_packages.sh zip|deb" >&2; exit 2 ;;
    esac
fi
