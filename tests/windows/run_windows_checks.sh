#!/usr/bin/env bash
# Checks of the Windows DLLs, run by CTest (label "windows").
#
#   run_windows_checks.sh MODE <source-dir> <work-dir> <libCorvane2.so> [NAME=VALUE...]
#
#   build      cross-builds Corvane2.dll and the scenario runner linked to it,
#              for 32-bit and 64-bit Windows, into <work-dir>/build-win32 and
#              build-win64 (scripts/build-windows.sh; extra=a,b adds sources
#              to the library, see CMakeLists.txt of this folder);
#   exports    inspects the export and import tables of both DLLs, of a
#              32-bit client linked through the import library and of both
#              scenario runners;
#   host       (bits=32|64, host=<native host>) runs tests/windows/host.c
#              built for Windows under Wine against that DLL, and the same
#              program built for Linux against libCorvane2.so, both making
#              the calls of host_calls.txt, and compares what both leave,
#              file against file;
#   scenarios  (bits=32|64) runs every scenario of tests/scenarios through
#              that DLL: the runner built for Windows under Wine, against the
#              same transcripts as on Linux.
#
# Wine: wine64 for the 64-bit DLL; for the 32-bit one the 32-bit loader
# /usr/lib/wine/wine (package wine32:i386, scripts/install-wine32.sh).  One
# prefix per bitness in <work-dir>, made on first use.  unavailable=FILE
# names the file in which scripts/install-wine32.sh leaves the reason why
# this machine cannot run 32-bit Windows programs.
#
# Exit status 77 (reported by CTest as skipped) when the library does not
# define all 21 exports yet, or when the Wine of the bitness is missing; the
# message says why.
set -euo pipefail

mode=$1 src=$2 work=$3 so=$4
shift 4
bits= native_host= extra= unavailable=
for arg in "$@"; do
  case $arg in
    bits=*) bits=${arg#bits=} ;;
    host=*) native_host=${arg#host=} ;;
    extra=*) extra=${arg#extra=} ;;
    unavailable=*) unavailable=${arg#unavailable=} ;;
    *) echo "unknown argument $arg"; exit 2 ;;
  esac
done

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

# The 32-bit runs: the reason recorded by scripts/install-wine32.sh comes
# first (a kernel that refuses 32-bit programs leaves the loader in place).
if [ "$bits" = 32 ] && [ -n "$unavailable" ] && [ -s "$unavailable" ]; then
  skip "32-bit Windows programs cannot run here: $(cat "$unavailable")"
fi

# The runs below change directory: make every path absolute.
src=$(realpath "$src") work=$(realpath -m "$work") so=$(realpath "$so")
[ -z "$native_host" ] || native_host=$(realpath "$native_host")

# The exports, with the argument bytes of their 32-bit decoration.
exports=(
  MP4FileOpen@8 MP4FileClose@4 GetSample@20 SeekTrack@20 MP4GetNextSample@20
  MP4NextKeyFrame@16 MP4PrevKeyFrame@16 GoToBeginOfKeyFrame@8 GoToEndOfKeyFrame@8
  MP4freeData@4 GetFileInfo@8 GetM4vEsdsData@20 GetM4aEsdsData@12 GetM4vHeaderSize@12
  MP4FileNew@8 CreateTrack@56 AddVideoFrame@20 AddAudioFrame@16 MP4FileFlush@4
  Mp4AddAudio@12 Mp4AddVideo@16
)
decorated=$(for e in "${exports[@]}"; do echo "_$e"; done | sort)
plain=$(for e in "${exports[@]}"; do echo "${e%@*}"; done | sort)

# Until every export is written the 32-bit DLL cannot link (its module
# definition names all 21), so the checks wait for them.
missing=$(comm -23 <(echo "$plain") <(nm -D --defined-only "$so" | awk '{print $3}' | sort -u))
[ -z "$missing" ] || skip "the library does not define yet:" $missing

dll32=$work/build-win32/Corvane2.dll
dll64=$work/build-win64/Corvane2.dll
runner() { echo "$work/build-win$1/tests/scenarios/scenario_runner.exe"; }

cross_build() {
  mkdir -p "$work"
  # Always passed, so the cached value follows the Linux build even when empty.
  if ! CORVANE_TARGETS="Corvane2 scenario_runner" "$src/scripts/build-windows.sh" "$work" \
       -DCORVANE_WINDOWS_RUNNER=ON "-DCORVANE_EXTRA_SOURCES=${extra//,/;}" >"$work/build.log" 2>&1; then
    cat "$work/build.log"
    fail "cross build failed"
  fi
  echo "built $dll32, $dll64 and the scenario runners"
}

# Names of an image's export table.
export_names() { "$1" -p "$2" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
                 sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort; }
# DLL names of an image's import table, one a line.
import_dlls() { "$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u; }
# Names an image imports from one DLL.
imports_from() {
  "$1" -p "$2" | awk -v dll="$3" '
    /DLL Name:/ { inside = ($3 == dll); next }
    inside && /^[[:space:]]*$/ { inside = 0 }
    inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $3 }' | sort
}
# Only the system DLLs: KERNEL32 and the C runtime (msvcrt or the UCRT).
check_system_imports() {
  local other
  other=$(import_dlls "$1" "$2" | grep -viE '^(kernel32|msvcrt|ucrtbase)\.dll$|^api-ms-win-crt-.*\.dll$' || true)
  [ -z "$other" ] || fail "$2 imports non-system DLLs: $other"
}

# The runner must call every export through Corvane2.dll: it imports all
# 21, and the library objects linked into it for its internal commands
# define none of them as a global symbol (they were made local), so no call
# can bind to a linked-in copy.
check_runner() {
  local objdump=$1 names=$2 exe=$3 got defined
  got=$(imports_from "$objdump" "$exe" Corvane2.dll)
  diff <(echo "$names") <(echo "$got") || fail "$exe does not import every export from Corvane2.dll"
  defined=$("${objdump%objdump}nm" -g --defined-only "$(dirname "$exe")/libcorvane_internals.a" 2>/dev/null |
            awk 'NF == 3 { print $3 }' | grep -Fx -f <(echo "$names") || true)
  [ -z "$defined" ] || fail "the runner's library objects still define: $defined"
  echo "$(basename "$(dirname "$(dirname "$(dirname "$exe")")")"): the runner imports the 21 exports from Corvane2.dll and links no copy of them"
}

check_exports() {
  local objdump32=i686-w64-mingw32-objdump objdump64=x86_64-w64-mingw32-objdump got
  got=$(export_names $objdump32 "$dll32")
  diff <(echo "$decorated") <(echo "$got") || fail "32-bit exports differ (< expected, > found)"
  check_system_imports $objdump32 "$dll32"
  echo "32-bit: exactly the 21 decorated exports; imports: $(import_dlls $objdump32 "$dll32" | xargs)"

  got=$(export_names $objdump64 "$dll64")
  diff <(echo "$plain") <(echo "$got") || fail "64-bit exports differ (< expected, > found)"
  check_system_imports $objdump64 "$dll64"
  echo "64-bit: exactly the 21 plain exports; imports: $(import_dlls $objdump64 "$dll64" | xargs)"

  # A client built against the import library must import the decorated names.
  i686-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -I"$src/include" \
    "$src/tests/windows/link_client.c" -L"$work/build-win32" -lCorvane2 -o "$work/link_client.exe"
  got=$(imports_from $objdump32 "$work/link_client.exe" Corvane2.dll)
  diff <(echo "$decorated") <(echo "$got") || fail "the import library binds other names (< expected, > found)"
  echo "32-bit client linked through libCorvane2.dll.a imports the 21 decorated names"

  # The host program's own __stdcall types against the header's prototypes,
  # where the calling convention is part of the type (checked as it compiles).
  i686-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -I"$src/include" \
    -c "$src/tests/windows/host.c" -o "$work/host32.o"
  echo "host.c compiles for 32-bit Windows with types matching corvane2.h"

  check_runner $objdump32 "$decorated" "$(runner 32)"
  check_runner $objdump64 "$plain" "$(runner 64)"
}

# Text that OutputDebugStringA received, as WINEDEBUG=+debugstr traces it:
#   0024:warn:debugstr:OutputDebugStringA "the input localfile is empty!\n"
debugger_text() {
  sed -n 's/^[0-9a-f]*:[a-z]*:debugstr:OutputDebugStringA "\(.*\)"$/\1/p' "$1" |
    while IFS= read -r line; do
      line=${line//\\\"/\"}
      printf '%b' "$line"
    done
}

# The Wine of the bitness: loader, wineserver, prefix and the variables of a
# quiet, windowless run.
wine_for() {
  case $1 in
    64)
      # Debian installs the loader outside PATH.
      loader=$(command -v wine64 || true)
      if [ -z "$loader" ] && [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64; fi
      [ -n "$loader" ] || skip "wine64 is not installed (apt-get install -y --no-install-recommends wine64)"
      unset WINEARCH ;;
    32)
      loader=/usr/lib/wine/wine
      [ -x "$loader" ] || skip "the 32-bit Wine ($loader) is not installed; scripts/install-wine32.sh installs it"
      export WINEARCH=win32 ;;
    *) fail "bits=32 or bits=64 expected" ;;
  esac
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  export WINEPREFIX=$work/wineprefix$1 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" DISPLAY=
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the wine prefix $WINEPREFIX"
    WINEDEBUG=-all "$loader" wineboot --init >/dev/null 2>&1 || true
    "$wineserver" -w || true
  fi
}

# Runs a Windows program under the Wine of wine_for, in directory $1, with
# the debugger output traced into $1/wine.log; the rest of the arguments are
# the program and its arguments.  Sets rc.
run_wine() {
  local dir=$1
  shift
  rc=0
  (cd "$dir" && WINEDEBUG=-all,+debugstr "$loader" "$@" >stdout.txt 2>wine.log) || rc=$?
  "$wineserver" -w || true
}

run_host() {
  local runs=$work/host$bits gcc=x86_64-w64-mingw32-gcc
  [ "$bits" = 32 ] && gcc=i686-w64-mingw32-gcc
  [ -x "$native_host" ] || fail "native host $native_host not built"
  wine_for "$bits"

  $gcc -std=c11 -O2 -Wall -Wextra -Werror -I"$src/include" "$src/tests/windows/host.c" -o "$work/host$bits.exe"

  # Both runs see the fixtures as "data" and the calls as calls.txt in their
  # working directory, so the paths that the library prints are the same on
  # both.
  rm -rf "$runs" && mkdir -p "$runs/linux" "$runs/wine"
  for run in linux wine; do
    ln -s "$src/tests/data" "$runs/$run/data"
    cp "$src/tests/windows/host_calls.txt" "$runs/$run/calls.txt"
  done

  # Linux: the debugger output is standard error.
  (cd "$runs/linux" && "$native_host" "$so" calls.txt results.txt >stdout.txt 2>stderr.txt) ||
    { rc=$?; [ $rc -eq 77 ] && skip "libCorvane2.so lacks an export"; cat "$runs/linux/stderr.txt"; fail "Linux host exited $rc"; }

  cp "$work/build-win$bits/Corvane2.dll" "$runs/wine/Corvane2.dll"
  cp "$work/host$bits.exe" "$runs/wine/host.exe"
  run_wine "$runs/wine" host.exe Corvane2.dll calls.txt results.txt
  [ $rc -eq 77 ] && skip "Corvane2.dll lacks an export"
  [ $rc -eq 0 ] || { tail -n 30 "$runs/wine/wine.log"; fail "host.exe under wine exited $rc"; }

  grep -v -E '^(MP4GetNextSample|MP4NextKeyFrame|MP4PrevKeyFrame) ' "$runs/linux/results.txt"
  local ok=1
  # What the calls answered and handed out (results.txt, results.txt.bin),
  # the files they wrote and anything they left behind.
  diff -r -x stdout.txt -x stderr.txt -x wine.log -x host.exe -x Corvane2.dll "$runs/linux" "$runs/wine" ||
    { ok=0; echo "the runs' results or files differ (< Linux, > Windows)"; }
  # The library's printf output; the Windows runtime writes line ends as CR LF.
  diff "$runs/linux/stdout.txt" <(tr -d '\r' <"$runs/wine/stdout.txt") ||
    { ok=0; echo "standard output differs (< Linux, > Windows)"; }
  diff "$runs/linux/stderr.txt" <(debugger_text "$runs/wine/wine.log") ||
    { ok=0; echo "debugger output differs (< Linux standard error, > OutputDebugStringA under wine)"; }
  [ -s "$runs/linux/stderr.txt" ] || { ok=0; echo "no writer messages on the debugger output"; }
  [ $ok -eq 1 ] || fail "the $bits-bit DLL behaves differently"
  echo "debugger output under wine:"
  debugger_text "$runs/wine/wine.log"
  echo "Windows ($bits-bit DLL under $(basename "$loader")) and Linux runs agree"
}

# Every scenario in one run of the runner (Wine starts once).  The runner
# compares each transcript with the .out file itself and leaves those that
# differ in actual/, shown here as diffs.  What it saw sent to the debugger
# output, in the transcripts' err lines, must be what Wine traced.
run_scenarios() {
  local runs=$work/scenarios$bits ok=1 actual
  wine_for "$bits"
  rm -rf "$runs" && mkdir -p "$runs"
  cp "$(runner "$bits")" "$work/build-win$bits/Corvane2.dll" "$runs/"
  run_wine "$runs" scenario_runner.exe --actual actual --debugger-log debugger.txt "$src"/tests/scenarios/*/
  tr -d '\r' <"$runs/stdout.txt"
  [ $rc -le 1 ] || { tail -n 30 "$runs/wine.log"; fail "the runner under wine exited $rc"; }
  for actual in "$runs"/actual/*/*.out; do
    [ -e "$actual" ] || continue
    ok=0
    diff -u --strip-trailing-cr --label expected --label "actual ($bits-bit DLL)" \
      "$src/tests/scenarios/$(basename "$(dirname "$actual")")/$(basename "$actual")" "$actual" || true
  done
  [ $rc -eq 0 ] || ok=0
  cmp -s "$runs/debugger.txt" <(debugger_text "$runs/wine.log") ||
    { ok=0; echo "what the runner saw sent to the debugger output is not what Wine traced"; }
  [ -s "$runs/debugger.txt" ] || { ok=0; echo "nothing was sent to the debugger output"; }
  [ $ok -eq 1 ] || fail "scenarios differ on the $bits-bit DLL"
  echo "every scenario gives its transcript on the $bits-bit DLL under $(basename "$loader")"
}

case $mode in
  build) cross_build ;;
  exports) check_exports ;;
  host) run_host ;;
  scenarios) run_scenarios ;;
  *) fail "unknown mode $mode" ;;
esac
