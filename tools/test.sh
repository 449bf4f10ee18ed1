#!/usr/bin/env bash
# Sets up what is missing, builds vexa for i386 and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
build=${VEXA_BUILD_DIR:-build}
cmake -S . -B "$build" -DVEXA_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest -j"$(nproc)" --output-on-failure --timeout 600
