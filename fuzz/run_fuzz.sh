#!/usr/bin/env bash
# Runs one fuzz target for a fixed time over its committed corpus:
#   run_fuzz.sh BINARY CORPUS WORKDIR SECONDS [libFuzzer options...]
# New inputs go to WORKDIR/new (the committed corpus is only read), crash,
# leak and timeout inputs to WORKDIR/.  The exit status is libFuzzer's: 0 when
# nothing was found.
set -euo pipefail
binary=$1 corpus=$2 work=$3 seconds=$4
shift 4
rm -rf "$work"
mkdir -p "$work/new"
cd "$work"
# -timeout=1: one input taking a second or more counts as a hang (a later
# -timeout among the options given replaces it).
# -close_fd_mask=3: the library's own output (hundreds of lines per input)
# is dropped; libFuzzer and the sanitizers report through a duplicate of
# standard error.
exec "$binary" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -detect_leaks=1 \
     -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/new" "$corpus"
