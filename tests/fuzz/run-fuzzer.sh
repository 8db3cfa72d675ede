#!/bin/sh
# run-fuzzer.sh FUZZER SECONDS SEEDS WORK [MALLOC_LIMIT_MB]
# Runs a libFuzzer target from the seed folder for SECONDS, growing its own
# corpus in WORK/corpus (the committed seeds stay as they are). Prints the
# number of inputs run and how many it ran a second; on a finding prints the end of the log and where the
# input that broke it was saved, and fails. With MALLOC_LIMIT_MB, a single
# allocation larger than that is a finding too.
set -u
fuzzer=$1 seconds=$2 seeds=$3 work=$4 malloc_limit=${5:-2048}
name=$(basename "$fuzzer")
mkdir -p "$work/corpus" "$work/artifacts"
rm -f "$work/artifacts/"*
# ASan keeps freed memory from reuse for a while to catch its use; 16 MiB
# is far more than one input frees, and keeps the memory a run touches
# warm (the default 256 MiB makes every input fault in fresh pages).
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16 \
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb="$malloc_limit" -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" >"$work/log" 2>&1
rc=$?
done_line=$(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$work/log" | tail -n 1)
if [ "$rc" -ne 0 ] || [ -z "$done_line" ]; then
    tail -n 60 "$work/log"
    echo "$name: FAILED (exit $rc); the input is in $work/artifacts/"
    exit 1
fi
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n 1)
echo "[ fuzz     ] $name: $done_line, ${rate:-?} inputs a second, corpus $(ls "$work/corpus" | wc -l) inputs"
