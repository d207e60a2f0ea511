#!/usr/bin/env bash
# Measures where sending a file from its handle starts to beat reading it into the response:
# runs two dirhttp builds (one with every file read into memory, one with every file sent from
# the file) over files of 1 KiB to 4 MiB at K=1 and prints requests/s for each.
# Usage: bench/threshold.sh IN_MEMORY_BINARY FROM_FILE_BINARY LOAD_CLIENT [SECONDS]
set -euo pipefail
memory=$1 from_file=$2 load=$3 seconds=${4:-1}
tree=$(mktemp -d /tmp/dirhttp-threshold-XXXXXX)
trap 'rm -rf "$tree"' EXIT
sizes=(1024 4096 16384 65536 262144 1048576 4194304)
for size in "${sizes[@]}"; do head -c "$size" /dev/urandom > "$tree/f$size"; done

run() {  # binary -> one "size req/s" line per file size
  (cd "$tree" && exec env -u DISPLAY -u WAYLAND_DISPLAY "$1" > /dev/null 2>&1) &
  local pid=$!
  for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break; sleep 0.05; done
  for size in "${sizes[@]}"; do
    echo "$size $("$load" 8080 "/f$size" 1 "$seconds" 200 "$size" | sed 's/.*req_per_s=\([0-9.]*\).*/\1/')"
  done
  kill "$pid"
  wait "$pid" 2>/dev/null || true
}

exec 9>/tmp/dirhttp-port-8080.lock
flock 9
echo "size in-memory from-file ratio"
for round in 1 2; do
  run "$memory" > "$tree/memory.txt"
  run "$from_file" > "$tree/from-file.txt"
  paste -d" " "$tree/memory.txt" "$tree/from-file.txt" | awk '{ printf "%s %s %s %.2f\n", $1, $2, $4, $4 / $2 }'
done
