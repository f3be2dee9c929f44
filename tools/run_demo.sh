#!/usr/bin/env bash
# Sets up, builds the viewer and opens it on the demo data file in demo/.
# With no display it runs the viewer under a virtual X server instead, pages to the first hidden
# picture, saves it and leaves a screenshot and the capture in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/packages.sh
tools/install_packages.sh "${build_packages[@]}" "${run_packages[@]}"

cmake --preset release >/dev/null
cmake --build --preset release --target tessvane -j "${TESSVANE_JOBS:-2}"
python3 tools/make_demo.py demo

cd demo
if [ -n "${DISPLAY:-}" ]; then
    echo "Opening the viewer: N and B page, P switches layout, D saves, Escape quits."
    "$root/build/release/tessvane" || true
else
    python3 "$root/tools/demo_headless.py" "$root/build/release/tessvane"
fi
