#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite (one preset,
# default: "default").
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
bash scripts/setup.sh
bash scripts/build.sh "$preset"
ctest --preset "$preset" -j "$(nproc)"
