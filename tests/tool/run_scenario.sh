#!/usr/bin/env bash
# Runs one scenario of the corvane tool and compares what it did with what
# is expected.
#
#   run_scenario.sh CORVANE DIR NAME DATA
#
# DIR/NAME.args holds one corvane command line per line (bash words; blank
# lines and lines starting with # are skipped).  They run in turn in a
# fresh scratch directory, with DATA (tests/data) in $DATA and the helpers
# of inputs.sh available to NAME.setup, a bash snippet run there first.
# Expected, each compared exactly with what the runs gave together:
#   NAME.out     standard output (missing: none)
#   NAME.err     standard error (missing: none)
#   NAME.status  the exit status of every run, one a line (missing: all 0)
#   NAME.after.out  the output of NAME.after, a bash snippet run in the
#                scratch directory after the runs (to look at files made)
# In the outputs the scratch directory stands as @DIR@ and DATA as @DATA@.
# With UPDATE=1 in the environment the expected files are written from what
# the runs gave (to be read over before they are committed).
set -uo pipefail
# Nothing is read from the caller: the runs and the snippets get an empty
# standard input even where the caller has none at all.
exec < /dev/null
corvane=$(realpath "$1") dir=$(cd "$2" && pwd) name=$3 data=$4
DATA=$(cd "$data" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/corvane-tool-$name.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export DATA
# shellcheck source=inputs.sh
source "$dir/inputs.sh"
export CORVANE=$corvane

cd "$scratch" || exit 1
if [[ -f $dir/$name.setup ]]; then
    # shellcheck disable=SC1090
    source "$dir/$name.setup" || { echo "$name: setup failed"; exit 1; }
fi
: > "$scratch/.stdout"; : > "$scratch/.stderr"; : > "$scratch/.status"
while IFS= read -r line || [[ -n $line ]]; do
    [[ -z $line || $line == \#* ]] && continue
    eval "words=($line)"
    "$corvane" "${words[@]}" >> "$scratch/.stdout" 2>> "$scratch/.stderr" < /dev/null
    echo $? >> "$scratch/.status"
done < "$dir/$name.args"
if [[ -f $dir/$name.after ]]; then
    # shellcheck disable=SC1090
    (source "$dir/$name.after") > "$scratch/.after" 2>&1
fi

# Paths in the outputs, written as the expected files write them.
normalize() { sed -e "s#$scratch#@DIR@#g" -e "s#$DATA#@DATA@#g" "$1"; }
failed=0
compare() {  # WHAT ACTUAL EXPECTED
    if [[ ${UPDATE:-0} == 1 ]]; then
        if [[ -s $2 || -f $3 ]]; then normalize "$2" > "$3"; fi
        return
    fi
    local expected=/dev/null
    [[ -f $3 ]] && expected=$3
    if ! diff -u --label "expected $1" --label "actual $1" "$expected" <(normalize "$2"); then
        failed=1
    fi
}
compare stdout "$scratch/.stdout" "$dir/$name.out"
compare stderr "$scratch/.stderr" "$dir/$name.err"
if [[ -f $dir/$name.status || ( ${UPDATE:-0} == 1 && $(grep -cv '^0$' "$scratch/.status") != 0 ) ]]; then
    compare status "$scratch/.status" "$dir/$name.status"
elif grep -qv '^0$' "$scratch/.status"; then
    echo "$name: exit status not 0:"; cat "$scratch/.status"; failed=1
fi
[[ -f $dir/$name.after ]] && compare after "$scratch/.after" "$dir/$name.after.out"
exit $failed
