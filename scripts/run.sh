#!/usr/bin/env bash
# Installs what is missing, builds, and starts Halvern from the build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target Halvern HalvernRun
exec ./build/bin/Halvern "$@"
