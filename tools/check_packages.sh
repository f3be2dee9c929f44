#!/usr/bin/env bash
# Checks the packages that tools/package.sh left in dist/, each as a user gets it:
#
#   tools/check_packages.sh zip   unpacks the Windows zip into an empty folder, checks that the
#                                 programs import only DLLs of Windows, and runs the viewer's demo
#                                 and the finder in that folder under wine
#   tools/check_packages.sh deb   lintian (no errors), then dpkg -x into an empty root; runs both
#                                 programs from there and reads the manual pages
#   tools/check_packages.sh deb-root
#                                 installs the package with apt into a fresh minimal Debian root,
#                                 its dependencies only, and runs both programs in it (chroot, as
#                                 root): the finder on the demo, the viewer's demo under a virtual
#                                 display started outside the root
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
    # Its standard output only: wine's own processes may report a fault of theirs on standard
    # error while a new prefix starts up, the program unharmed.
    expect_output "tessvane-find $version" bash -c '"$@" 2>/dev/null' - "$root/cmake/run-under-wine.sh" \
        tessvane-find.exe --version || status=1
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

# The minimal root as a tarball in a cache outside the clone, so that it outlives CI's fresh
# clones: made by mmdebstrap (variant minbase, about 40 s) from the host's Debian sources on
# first use, again when the release or those sources change, and weekly, so that its package
# lists stay close to the archive's. Prints the tarball's path.
minimal_root() {
    local sources codename key tarball
    sources=/etc/apt/sources.list.d/debian.sources
    [ -f "$sources" ] || sources=/etc/apt/sources.list
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    key=$({ echo "minbase $codename"; cat "$sources"; } | sha256sum | cut -c 1-12)
    tarball=$cache/minimal-$codename-$key.tar
    mkdir -p "$cache" || return 1
    # Locked, since two checks at once would both make it; written under another name first, so
    # that an interrupted mmdebstrap never leaves a tarball that looks whole.
    (
        flock 9 || exit 1
        [ -n "$(find "$tarball" -mtime -7 2>/dev/null)" ] && exit 0
        echo "making the minimal root $tarball" >&2
        rm -f "$cache"/minimal-*.tar "$cache"/minimal-*.part
        mmdebstrap --quiet --variant=minbase --format=tar --skip=cleanup/apt/lists \
            "$codename" "$tarball.part" "$sources" </dev/null >&2 &&
            mv "$tarball.part" "$tarball"
    ) 9>"$cache/lock" || return 1
    echo "$tarball"
}

# The package installed by apt in the root from the cached archives where it can: after the
# first run only a package that changed is fetched. With lists older than the archive's, apt
# fails to fetch what the cache lacks; then it reads them anew.
install_in_root() {
    local deb=$1 log=$scratch/apt.log archives=$top/var/cache/apt/archives
    mkdir -p "$cache/archives" && cp "$deb" "$top/tmp/" || return 1
    find "$cache/archives" -name '*.deb' -exec cp -t "$archives" {} + || return 1
    local install=(apt-get install -y -q --no-install-recommends -o Acquire::Retries=3
        -o DPkg::Options::=--force-unsafe-io
        "/tmp/$(basename "$deb")")
    if ! in_root "${install[@]}" >"$log" 2>&1; then
        echo "apt failed; once more after reading the package lists anew"
        if ! in_root apt-get update -q -o Acquire::Retries=3 >>"$log" 2>&1 ||
            ! in_root "${install[@]}" >>"$log" 2>&1; then
            tail -n 30 "$log"
            return 1
        fi
    fi
    grep "newly installed" "$log"
    # What the archive no longer holds goes; the rest is kept for the next run.
    in_root apt-get autoclean -q >/dev/null 2>&1
    (
        flock 9 || exit 1
        rm -rf "$cache/archives.new" && mkdir "$cache/archives.new" &&
            find "$archives" -maxdepth 1 -name '*.deb' -exec cp -t "$cache/archives.new" {} + &&
            rm -rf "$cache/archives" && mv "$cache/archives.new" "$cache/archives"
    ) 9>"$cache/lock" || echo "could not keep the archives in $cache"
}

# A command in the minimal root with a bare environment, so that nothing of the host's (a
# library path, SDL's settings) helps the programs.
in_root() {
    chroot "$top" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@" </dev/null
}

# The offset's white text near the top left of the demo's screenshot at 60000, where the page
# is blue and purple: the viewer found a font for its overlay.
offset_text_drawn() {
    local white
    white=$(convert "$1" -crop 320x84+0+0 +repage -depth 8 rgb:- | python3 -c '
import sys
data = sys.stdin.buffer.read()
print(sum(1 for i in range(0, len(data) - 2, 3) if min(data[i:i + 3]) >= 250))')
    echo "offset text: $white white pixels"
    [ "${white:-0}" -ge 15 ]
}

check_deb_root() {
    local deb=dist/tessvane_${version}_amd64.deb status=0
    [ -f "$deb" ] || { echo "no $deb"; return 1; }
    [ "$(id -u)" -eq 0 ] || { echo "deb-root needs root, for chroot"; return 1; }
    local cache=${TESSVANE_CHECK_CACHE:-/var/cache/tessvane-check} base
    base=$(minimal_root) || { echo "could not make the minimal root"; return 1; }
    # In memory: unpacking and removing some 500 MB on disk took longer than the checks.
    local top=$scratch/minimal
    mkdir "$top" && mount_for_check -t tmpfs -o size=2g,mode=755 tmpfs "$top" &&
        tar -xf "$base" -C "$top" || return 1
    # Through a link in the root, a plain copy could write the host's file.
    cp --remove-destination /etc/resolv.conf "$top/etc/resolv.conf" || return 1
    mount_for_check -t proc proc "$top/proc" || return 1

    # Depends only: a Recommends must not bring what the viewer needs.
    install_in_root "$deb" || { echo "apt could not install $deb"; return 1; }

    expect_output "tessvane-find $version" in_root tessvane-find --version || status=1
    in_root tessvane-find --tsv /usr/share/doc/tessvane/examples/demo.bin >"$scratch/finds.tsv"
    cat "$scratch/finds.tsv"
    demo_finds_ok "$scratch/finds.tsv" || { echo "not the demo's four finds"; status=1; }

    # The X server runs outside: xvfb in the root would bring libgl1 with it. Its abstract socket
    # reaches into the chroot.
    local demo=$top/root/demo
    mkdir -p "$demo" && cp "$top/usr/share/doc/tessvane/examples"/* "$demo/" || return 1
    # shellcheck disable=SC2016
    (cd "$demo" && demo_runs --wait 30 chroot "$top" /bin/sh -c \
        'cd /root/demo && exec /usr/bin/env -i DISPLAY="$DISPLAY" HOME=/root /usr/bin/tessvane') ||
        status=1
    if [ -f "$demo/screenshot.png" ]; then
        offset_text_drawn "$demo/screenshot.png" || { echo "no offset text: no font"; status=1; }
    fi
    return "$status"
}

# Mounts the last argument, and remembers it for clean_up.
mount_for_check() {
    mount "$@" && mounts+=("${!#}")
}

# Every exit: what was mounted unmounted, the last first, before anything is removed; removal
# kept to the scratch folder's own file system all the same.
clean_up() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount -l "${mounts[i]}" || echo "could not unmount ${mounts[i]}"
    done
    rm -rf --one-file-system "$scratch"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    cd "$(dirname "$0")/.." || exit 1
    root=$(pwd)
    version=$(sed -n 's/^project(Tessvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    scratch=$(mktemp -d)
    mounts=()
    trap clean_up EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM HUP
    case ${1:-} in
        zip) check_zip ;;
        deb) check_deb ;;
        deb-root) check_deb_root ;;
        *) echo "usage: check_packages.sh zip|deb|deb-root" >&2; exit 2 ;;
    esac
fi
