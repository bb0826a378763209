#!/usr/bin/env bash
# Checks of the Windows DLL, run by CTest (label "windows").
#
#   run_windows_checks.sh exports <source-dir> <work-dir> <libCorvane2.so> [extra-sources]
#   run_windows_checks.sh host    <source-dir> <work-dir> <libCorvane2.so> <native-host> [extra-sources]
#
# Both cross-build Corvane2.dll for 32-bit and 64-bit Windows into
# <work-dir>/build-win32 and build-win64 (scripts/build-windows.sh), then:
#   exports  inspects the export and import tables of both DLLs and of a
#            32-bit client linked through the import library;
#   host     runs tests/windows/host.c built for x86-64 Windows under wine64
#            against the 64-bit DLL, and the same program built for Linux
#            against libCorvane2.so, both making the calls of host_calls.txt,
#            and compares what both leave, file against file.
#
# Exit status 77 (reported by CTest as skipped) when the library does not
# define all 21 exports yet, or when wine64 is not installed.
set -euo pipefail

mode=$1 src=$2 work=$3 so=$4
shift 4
native_host=
if [ "$mode" = host ]; then native_host=$1; shift; fi
extra=${1:-}
# The runs below change directory: make every path absolute.
src=$(realpath "$src") work=$(realpath -m "$work") so=$(realpath "$so")
[ -z "$native_host" ] || native_host=$(realpath "$native_host")

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

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

mkdir -p "$work"
cmake_args=()
# Always passed, so the cached value follows the Linux build even when empty.
cmake_args+=("-DCORVANE_EXTRA_SOURCES=${extra//,/;}")
if ! "$src/scripts/build-windows.sh" "$work" "${cmake_args[@]}" >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  fail "cross build failed"
fi
dll32=$work/build-win32/Corvane2.dll
dll64=$work/build-win64/Corvane2.dll

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

run_host() {
  local loader wineserver runs=$work/host
  [ -x "$native_host" ] || fail "native host $native_host not built"
  # Debian installs the loader outside PATH.
  loader=$(command -v wine64 || true)
  if [ -z "$loader" ] && [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64; fi
  [ -n "$loader" ] || skip "wine64 is not installed (apt-get install -y --no-install-recommends wine64)"
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

  x86_64-w64-mingw32-gcc -std=c11 -O2 -Wall -Wextra -Werror -I"$src/include" \
    "$src/tests/windows/host.c" -o "$work/host.exe"

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

  # Windows under wine64: one prefix per work directory, made on first use
  # (the slow part) and reused afterwards.
  export WINEPREFIX=$work/wineprefix WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" DISPLAY=
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the wine prefix $WINEPREFIX"
    WINEDEBUG=-all "$loader" wineboot --init >/dev/null 2>&1 || true
    "$wineserver" -w || true
  fi
  cp "$dll64" "$runs/wine/Corvane2.dll"
  cp "$work/host.exe" "$runs/wine/host.exe"
  local rc=0
  (cd "$runs/wine" && WINEDEBUG=-all,+debugstr "$loader" host.exe Corvane2.dll calls.txt results.txt \
      >stdout.txt 2>wine.log) || rc=$?
  "$wineserver" -w || true
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
  [ $ok -eq 1 ] || fail "the Windows build behaves differently"
  echo "debugger output under wine:"
  debugger_text "$runs/wine/wine.log"
  echo "Windows (wine64) and Linux runs agree"
}

case $mode in
  exports) check_exports ;;
  host) run_host ;;
  *) fail "unknown mode $mode" ;;
esac
