#!/usr/bin/env bash
# Runs each fuzz target for a bounded time from its committed seed corpus; fails on the first
# crash, leak, sanitizer report or broken property.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]   (the build of the `fuzz` preset)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=${2:-60}
work=$(mktemp -d "${TMPDIR:-/tmp}/dirhttp-fuzz-run-XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz/artifacts"
mkdir -p "$artifacts"

for target in request_target content_type response connection; do
  # New inputs go to a scratch directory; the committed seeds are only read.
  mkdir -p "$work/$target"
  echo "== $target: ${seconds}s"
  if ! "$build/fuzz/${target}_fuzz" "$work/$target" "$here/corpus/$target" \
      -max_total_time="$seconds" -max_len=65535 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/${target}-" \
      >"$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    echo "FAIL: $target (input saved under $artifacts)"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' "$work/$target.log" || true
done
echo "fuzz: every target ran ${seconds}s without a finding"
