#!/usr/bin/env bash
# Runs unit tests under valgrind's memcheck and fails on any memory error or
# definitely lost block:
#   valgrind.sh TEST_BINARY [GTEST_FILTER]
# The default filter takes the reading and writing suites and leaves out the
# tests that run the corvane tool or ffmpeg as a child process (their time is
# spent in the child, which memcheck does not follow), and the thousands of
# opens of the truncation sweep and the path table (hundreds of child
# processes), which the sanitizer build covers.
set -euo pipefail
binary=$1
filter=${2:-'-CmdInfo.*:ToolTree.*:*Interop*:Regress.FixturesCutAtEveryBoxBoundary:Calls/PathTable.*'}
command -v valgrind >/dev/null || { echo "valgrind not installed"; exit 77; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite \
  --track-origins=no --num-callers=30 --log-file="$log" \
  "$binary" --gtest_filter="$filter" --gtest_brief=1 || status=$?
sed -n '/HEAP SUMMARY/,$p' "$log"
if [ "$status" -ne 0 ]; then
  cat "$log"
  echo "valgrind: memcheck reported errors or the tests failed (status $status)"
  exit 1
fi
