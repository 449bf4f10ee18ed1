#!/usr/bin/env bash
# Sets up what is missing, builds vexa and runs the example program without a
# debugger, with the library's diagnostics on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
build=${VEXA_BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target hello_vexa
VEXA_LOGGING=${VEXA_LOGGING:-2} "$build/bin/hello_vexa"
