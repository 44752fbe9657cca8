#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while
# (default 60 s), starting from its seed corpus when it has one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/build.sh fuzz
shopt -s nullglob
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [[ -d "fuzz/seeds/$name" ]] && seeds=("fuzz/seeds/$name")
  echo "fuzz: $name for ${seconds}s"
  "$target" -seed=1 -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 "$corpus" "${seeds[@]}"
done
