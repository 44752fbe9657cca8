#!/usr/bin/env bash
# Sets everything up, builds, and runs the quickstart example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh default
./build/default/examples/ovix_quickstart/ovix_quickstart
