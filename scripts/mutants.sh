#!/usr/bin/env bash
# Planted faults: measures what the unit and interop tests catch.
#
# Each fault of scripts/mutants.txt is a small change of one source file
# (an exact piece of text and what replaces it).  The faults are planted one
# at a time in a private copy of the tree, each followed by an incremental
# build and a run of `ctest -L 'unit|interop'`; a fault is "caught" when some
# test fails, "missed" when every test passes, and "build-failed" when the
# changed tree does not build (a mistake of the list, to be fixed there).
# The developer's working tree is only read.
#
# A fault marked "sanitize" in the list (a memory error at the edge of a
# buffer, which a normal build may run through unnoticed) is planted in a
# second build of the same copy, made with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (CORVANE_SANITIZE=ON, as the second pass of
# scripts/test.sh), and the tests of `--sanitize-labels` run there.  That
# build is made only when a fault needs it.
#
#   scripts/mutants.sh [OPTIONS] [ID...]      plant the faults (all, or the ids given)
#   scripts/mutants.sh --list                 the faults, one line each
#   scripts/mutants.sh --check                whether every fault still applies
#   scripts/mutants.sh --compare OLD NEW      what changed between two result files
#
# Options:
#   --out FILE      also write the result lines (and the total) to FILE, for --compare
#   --log FILE      write the details to FILE: the tests that caught each fault,
#                   build errors, the output of a baseline that failed
#   --rev REV       plant into the files of revision REV; without it, into the
#                   working tree as it stands (tracked and untracked files,
#                   uncommitted changes included, ignored files left out)
#   --timeout SECS  per-test timeout (default 60): a fault that makes a test hang
#                   is caught when the timeout ends it
#   --faults FILE   another list of faults (default scripts/mutants.txt)
#   --sanitize      plant every fault given in the sanitizer build, marked or not
#   --sanitize-labels LABELS
#                   the tests run in the sanitizer build (default 'unit'; the
#                   per-test timeout is three times --timeout there)
#
# Format of the list: see the head of scripts/mutants.txt.
#
# Exit status: 0 when every fault was built and tested (missed faults
# included: they are information, not an error); 1 when the suite fails
# without any fault or a fault did not build; 2 for a usage error or a list
# whose original texts do not match the sources.
set -uo pipefail
export LC_ALL=C
shopt -u patsub_replacement 2>/dev/null || true

root=$(cd "$(dirname "$0")/.." && pwd)
faults_file=$root/scripts/mutants.txt
out_file=
log_file=
rev=
timeout=60
mode=run
selected=()
test_labels='unit|interop'
sanitize_labels='unit'
sanitize_all=

usage() {
    sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'
}

die() {
    echo "mutants: $*" >&2
    exit 2
}

# ---------------------------------------------------------------- the list

ids=() files=() descs=() froms=() tos=() marks=()

# Blocks of the list:
#   [ID] path/of/file.cpp [sanitize]
#   one-line description
#   - original line           (one or more; joined with newlines)
#   + replacement line        (one or more; a lone "+" is an empty replacement)
# Lines beginning with '#' and blank lines between blocks are ignored.
parse_faults() {
    local line n=-1 lineno=0 state=
    [[ -r $faults_file ]] || die "cannot read $faults_file"
    while IFS= read -r line || [[ -n $line ]]; do
        lineno=$((lineno + 1))
        if [[ $line =~ ^\[([A-Za-z0-9_-]+)\][[:space:]]+([^[:space:]]+)([[:space:]]+([a-z]+))?[[:space:]]*$ ]]; then
            n=$((n + 1))
            ids[n]=${BASH_REMATCH[1]}
            files[n]=${BASH_REMATCH[2]}
            marks[n]=${BASH_REMATCH[4]}
            [[ -z ${marks[n]} || ${marks[n]} == sanitize ]] ||
                die "$faults_file:$lineno: [${ids[n]}] unknown marker '${marks[n]}' (only 'sanitize')"
            descs[n]=
            froms[n]=
            tos[n]=
            state=desc
            continue
        fi
        [[ -z $line || $line == \#* ]] && continue
        ((n >= 0)) || die "$faults_file:$lineno: text before the first [ID] line"
        case $line in
            "-" | "- "*)
                [[ $state == desc || $state == from ]] ||
                    die "$faults_file:$lineno: [${ids[n]}] original text after the replacement"
                [[ $state == from ]] && froms[n]+=$'\n'
                froms[n]+=${line:2}
                state=from
                ;;
            "+" | "+ "*)
                [[ $state == from || $state == to ]] ||
                    die "$faults_file:$lineno: [${ids[n]}] replacement before the original text"
                [[ $state == to ]] && tos[n]+=$'\n'
                tos[n]+=${line:2}
                state=to
                ;;
            *)
                [[ $state == desc && -z ${descs[n]} ]] ||
                    die "$faults_file:$lineno: [${ids[n]}] unexpected line: $line"
                descs[n]=$line
                ;;
        esac
    done <"$faults_file"
    local i j
    for ((i = 0; i <= n; i++)); do
        [[ -n ${descs[i]} ]] || die "[${ids[i]}] has no description"
        [[ -n ${froms[i]} ]] || die "[${ids[i]}] has no original text"
        for ((j = 0; j < i; j++)); do
            [[ ${ids[j]} != "${ids[i]}" ]] || die "[${ids[i]}] appears twice"
        done
    done
}

# The indices of the faults to plant: all, or those named on the command line.
order=()
select_faults() {
    local id i found
    if ((${#selected[@]} == 0)); then
        for i in "${!ids[@]}"; do order+=("$i"); done
        return
    fi
    for id in "${selected[@]}"; do
        found=
        for i in "${!ids[@]}"; do
            [[ ${ids[i]} == "$id" ]] && found=$i
        done
        [[ -n $found ]] || die "no fault $id in $faults_file"
        order+=("$found")
    done
}

# ---------------------------------------------------------------- planting

# Reads the whole content of file $2, trailing newlines included, into the
# variable named $1.
read_file() {
    IFS= read -r -d '' "$1" <"$2" || true
}

# How often `from` occurs in `content`.
occurrences() {
    local content=$1 from=$2 rest
    rest=${content//"$from"/}
    echo $(((${#content} - ${#rest}) / ${#from}))
}

# Empty when fault i applies to the tree under $1, else why not.
fault_problem() {
    local dir=$1 i=$2 path=$1/${files[$2]} content count
    [[ -f $path ]] || { echo "${files[i]} does not exist"; return; }
    read_file content "$path"
    count=$(occurrences "$content" "${froms[i]}")
    ((count == 1)) || echo "the original text occurs $count times in ${files[i]}"
}

check_faults() {
    local dir=$1 i problem bad=0
    for i in "${order[@]}"; do
        problem=$(fault_problem "$dir" "$i")
        if [[ -n $problem ]]; then
            printf 'stale   %-4s  %s\n' "${ids[i]}" "$problem" >&2
            bad=1
        fi
    done
    return $bad
}

plant() {
    local path=$1 from=$2 to=$3 content
    read_file content "$path"
    printf '%s' "${content/"$from"/"$to"}" >"$path"
}

# ---------------------------------------------------------------- compare

compare_results() {
    local old=$1 new=$2 status id rest lost=() gained=()
    declare -A before after
    [[ -r $old && -r $new ]] || die "--compare needs two readable result files"
    # Result lines name a fault id; the total ("caught 58 of 60, ...") does not.
    is_result() { [[ ($1 == caught || $1 == missed || $1 == build-failed) && ! $2 =~ ^[0-9]+$ ]]; }
    while read -r status id rest; do
        is_result "$status" "$id" && before[$id]=$status
    done <"$old"
    while read -r status id rest; do
        is_result "$status" "$id" && after[$id]=$status
    done <"$new"
    for id in $(printf '%s\n' "${!before[@]}" "${!after[@]}" | sort -u); do
        local b=${before[$id]:-absent} a=${after[$id]:-absent}
        [[ $b == "$a" ]] && continue
        printf '%-4s  %s -> %s\n' "$id" "$b" "$a"
        [[ $b == caught && $a == missed ]] && lost+=("$id")
        [[ $b == missed && $a == caught ]] && gained+=("$id")
    done
    echo "old: $(grep -m1 '^caught [0-9]' "$old" || echo 'no total')"
    echo "new: $(grep -m1 '^caught [0-9]' "$new" || echo 'no total')"
    ((${#gained[@]})) && echo "newly caught: ${gained[*]}"
    ((${#lost[@]})) && echo "no longer caught: ${lost[*]}"
    # A fault that the new run misses and the old one caught: the suite lost it.
    ((${#lost[@]} == 0))
}

# ---------------------------------------------------------------- options

while (($#)); do
    case $1 in
        -h | --help) usage; exit 0 ;;
        --list) mode=list ;;
        --check) mode=check ;;
        --compare)
            (($# >= 3)) || die "--compare needs OLD and NEW"
            compare_results "$2" "$3"
            exit $?
            ;;
        --out) (($# >= 2)) || die "--out needs a file"; out_file=$2; shift ;;
        --log) (($# >= 2)) || die "--log needs a file"; log_file=$2; shift ;;
        --rev) (($# >= 2)) || die "--rev needs a revision"; rev=$2; shift ;;
        --timeout)
            [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || die "--timeout needs a number of seconds"
            timeout=$2; shift ;;
        --faults) (($# >= 2)) || die "--faults needs a file"; faults_file=$2; shift ;;
        --sanitize) sanitize_all=1 ;;
        --sanitize-labels)
            (($# >= 2)) || die "--sanitize-labels needs labels"; sanitize_labels=$2; shift ;;
        -*) die "unknown option $1 (see --help)" ;;
        *) selected+=("$1") ;;
    esac
    shift
done

parse_faults
select_faults

# Whether fault i is planted in the sanitizer build.
sanitized() { [[ -n $sanitize_all || ${marks[$1]} == sanitize ]]; }

if [[ $mode == list ]]; then
    for i in "${order[@]}"; do
        printf '%-4s  %-32s  %s%s\n' "${ids[i]}" "${files[i]}" "$(sanitized "$i" && echo '[sanitize] ')" "${descs[i]}"
    done
    exit 0
fi

# ---------------------------------------------------------------- the private copy

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-mutants.XXXXXX") || die "cannot create a work directory"
child=
cleanup() {
    trap - EXIT INT TERM HUP
    if [[ -n $child ]] && kill -0 "$child" 2>/dev/null; then
        pkill -TERM -P "$child" 2>/dev/null
        kill -TERM "$child" 2>/dev/null
        wait "$child" 2>/dev/null
    fi
    rm -rf -- "$work"
}
trap cleanup EXIT
trap 'echo "mutants: interrupted" >&2; exit 130' INT TERM HUP

# Runs a command in the background and waits for it, so that an interruption
# is handled at once (and the command ended by the trap).
run() {
    "$@" &
    child=$!
    wait "$child"
    local status=$?
    child=
    return $status
}

tree=$work/tree
mkdir -p "$tree" "$work/tmp"
if [[ -n $rev ]]; then
    git -C "$root" archive --format=tar "$rev" | tar -xf - -C "$tree" ||
        die "cannot export revision $rev"
else
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
        tar --null -T - -cf -) | tar -xf - -C "$tree" || die "cannot copy the working tree"
fi

if ! check_faults "$tree"; then
    echo "mutants: the list does not match the sources; update $faults_file" >&2
    exit 2
fi
if [[ $mode == check ]]; then
    echo "all ${#order[@]} faults apply"
    exit 0
fi

# ---------------------------------------------------------------- build and test

log() { [[ -n $log_file ]] && printf '%s\n' "$@" >>"$log_file"; return 0; }
[[ -n $log_file ]] && : >"$log_file"
if [[ -n $out_file ]]; then
    {
        echo "# scripts/mutants.sh, $(date -u '+%Y-%m-%d %H:%M UTC')"
        if [[ -n $rev ]]; then
            echo "# revision $rev ($(git -C "$root" rev-parse --short "$rev^{commit}" 2>/dev/null))"
        else
            echo "# working tree at $(git -C "$root" rev-parse --short HEAD 2>/dev/null)$(
                [[ -n $(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null) ]] &&
                echo ' with uncommitted changes')"
        fi
    } >"$out_file"
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
started=$SECONDS

# The two builds of the private copy: "plain" (the compiler CMake picks,
# RelWithDebInfo) and "sanitize" (clang with AddressSanitizer and
# UndefinedBehaviorSanitizer).  Each is configured, built and checked
# without faults the first time a fault needs it.
declare -A ready=() setup_note=()
build_dir() { echo "$work/build-$1"; }

# Everything the default target builds: the tests may run any of it (the
# tool, the shared library).  Only what a fault changed is compiled again.
build_tree() {
    run cmake --build "$(build_dir "$1")" -j2 >"$work/build.log" 2>&1
}

# The tests, with every temporary file they make inside the work directory.
# Sets `failed` to the names of the tests that failed.
run_tests() {
    local status labels=$test_labels limit=$timeout
    if [[ $1 == sanitize ]]; then labels=$sanitize_labels limit=$((3 * timeout)); fi
    TMPDIR=$work/tmp run ctest --test-dir "$(build_dir "$1")" -L "$labels" -j2 --timeout "$limit" \
        --no-tests=error >"$work/test.log" 2>&1
    status=$?
    failed=$(sed -n '/The following tests FAILED:/,$p' "$work/test.log" | sed -n 's/^[[:space:]]*[0-9]* - \(.*\)$/\1/p')
    rm -rf -- "${work:?}/tmp" && mkdir -p "$work/tmp"
    return $status
}

# Configures and builds one kind of build of the unchanged copy and runs
# its tests; ends the script when either fails.
prepare_build() {
    local kind=$1 begun=$SECONDS configure=(cmake -S "$tree" -B "$(build_dir "$1")" "${generator[@]}"
                                            -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    if [[ $kind == sanitize ]]; then
        command -v clang++ >/dev/null || die "the faults marked sanitize need clang++"
        configure=(env CC=clang CXX=clang++ "${configure[@]}" -DCORVANE_SANITIZE=ON)
    fi
    echo "mutants: building the $kind copy"
    if ! run "${configure[@]}" >"$work/build.log" 2>&1 || ! build_tree "$kind"; then
        echo "mutants: the unchanged tree does not build ($kind):" >&2
        tail -20 "$work/build.log" >&2
        exit 1
    fi
    local built=$((SECONDS - begun)) tests_begun=$SECONDS
    if ! run_tests "$kind"; then
        echo "mutants: the tests fail without any fault ($kind); fix that first:" >&2
        printf '  %s\n' "$failed" >&2
        log "== baseline ($kind)" "$(cat "$work/test.log")"
        exit 1
    fi
    setup_note[$kind]="$kind: full build ${built}s, tests without faults $((SECONDS - tests_begun))s"
    echo "mutants: ${setup_note[$kind]}"
    ready[$kind]=1
}

emit() {
    echo "$1"
    [[ -n $out_file ]] && echo "$1" >>"$out_file"
    return 0
}

echo "mutants: a private copy in $work (${#order[@]} faults)"
caught=0 missed_ids=() broken_ids=()
setup_time=0
faults_started=$SECONDS
for i in "${order[@]}"; do
    kind=plain
    sanitized "$i" && kind=sanitize
    if [[ -z ${ready[$kind]:-} ]]; then
        begun=$SECONDS
        prepare_build "$kind"
        setup_time=$((setup_time + SECONDS - begun))
    fi
    path=$tree/${files[i]}
    read_file original "$path"
    plant "$path" "${froms[i]}" "${tos[i]}"
    if ! build_tree "$kind"; then
        status=build-failed
        broken_ids+=("${ids[i]}")
        log "== ${ids[i]} build-failed ($kind)" "$(grep -E 'error|Error' "$work/build.log" | head -20)"
    elif run_tests "$kind"; then
        status=missed
        missed_ids+=("${ids[i]}")
        log "== ${ids[i]} missed ($kind)"
    else
        status=caught
        caught=$((caught + 1))
        log "== ${ids[i]} caught by $(printf '%s\n' "$failed" | grep -c .) test(s) ($kind)" "$failed"
    fi
    # Back to the original bytes; the next build (of either kind) compiles
    # the file again.
    printf '%s' "$original" >"$path"
    emit "$(printf '%-6s  %-4s  %s%s' "$status" "${ids[i]}" "$([[ $kind == sanitize ]] && echo '[sanitize] ')" "${descs[i]}")"
done
faults_time=$((SECONDS - faults_started - setup_time))

total="caught $caught of ${#order[@]}"
total+=", missed ${#missed_ids[@]}"
((${#missed_ids[@]})) && total+=": ${missed_ids[*]}"
((${#broken_ids[@]})) && total+="; build-failed ${#broken_ids[@]}: ${broken_ids[*]}"
emit "$total"
elapsed=$((SECONDS - started))
notes=$(printf '%s; ' "${setup_note[@]}")
echo "mutants: $((elapsed / 60))m$((elapsed % 60))s in all (${notes}${#order[@]} faults $((faults_time / 60))m$((faults_time % 60))s)"
((${#broken_ids[@]} == 0))
