# Debian packages the project needs, sourced by the demo and check scripts. No version numbers,
# so the list holds on the next release too: libclang-rt-dev is the runtime of whatever clang is.
# shellcheck disable=SC2034
build_packages=(
    cmake ninja-build g++ python3 pkg-config
    libsdl2-dev libfreetype-dev libfontconfig-dev libgl-dev libegl-dev
    libgl1-mesa-dri libegl-mesa0 fonts-dejavu-core
    libcli11-dev zlib1g-dev
)
run_packages=(xvfb xfonts-base xdotool libxdamage1 imagemagick)
check_packages=(
    googletest libgtest-dev libbenchmark-dev
    clang libclang-rt-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64 wine
    python3-numpy
    dpkg-dev lintian man-db unzip mmdebstrap
    chromium
    parallel
)
