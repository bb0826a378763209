#!/usr/bin/env bash
# Installs the 32-bit Wine (package wine32:i386, whose loader is
# /usr/lib/wine/wine), which runs the tests of the 32-bit Corvane2.dll, or
# records why this machine cannot have it.
#
#   scripts/install-wine32.sh REASON-FILE
#
# 1. A minimal 32-bit program is run first: a kernel built without 32-bit
#    support refuses it, and then nothing is installed.
# 2. When the loader is there already, nothing more is done.
# 3. Otherwise the i386 architecture is added to dpkg, the package lists
#    are fetched (once more when that fails) and wine32:i386 is installed.
#    When the i386 lists cannot be fetched, or the package cannot be
#    installed, an architecture that this script added is taken out again:
#    left in, it would make every later apt-get update fail.
#
# When the 32-bit Wine can run, REASON-FILE is removed; otherwise it gets
# one line saying why (with apt's error where apt failed).  The 32-bit tests
# report that line as the reason of their skip, and scripts/test.sh repeats
# it at the end of its output.  The exit status is 0 either way, so that
# the rest of the tests run.
#
# For the script's own tests (tests/windows/check_install_wine32.sh):
#   CORVANE_I386_PROGRAM   a file run instead of the minimal program
#   CORVANE_APT_GET        the command run as apt-get
#   CORVANE_DPKG           the command run as dpkg
#   CORVANE_WINE32_LOADER  the loader whose presence shows the 32-bit Wine
#   CORVANE_APT_RETRY_SECONDS  the wait before fetching the lists again (10)
set -uo pipefail

[ $# -eq 1 ] || { echo "usage: $0 REASON-FILE" >&2; exit 2; }
reason_file=$1
apt_get=${CORVANE_APT_GET:-apt-get}
dpkg=${CORVANE_DPKG:-dpkg}
loader=${CORVANE_WINE32_LOADER:-/usr/lib/wine/wine}
mkdir -p "$(dirname "$reason_file")"
reason_file=$(cd "$(dirname "$reason_file")" && pwd)/$(basename "$reason_file")
export DEBIAN_FRONTEND=noninteractive

unavailable() {
  echo "$*" >"$reason_file"
  echo "32-bit Windows programs will not be tested: $*"
  exit 0
}

# apt's own account of a failure: its first error line, else its first
# warning or failed fetch, else its last line.
apt_error() {
  local line
  line=$(grep -m1 '^E: ' <<<"$1") || line=$(grep -m1 -E '^(W: |Err:)' <<<"$1") || line=$(tail -n1 <<<"$1")
  echo "$line"
}

# A 32-bit ELF executable of 96 bytes for the i386 (one program header, no
# sections) whose code is exit(42) through int 0x80: it runs wherever the
# kernel runs 32-bit programs, needs no library, and only such a kernel
# gives 42.
write_i386_program() {
  local header='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  header+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
  header+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
  local segment='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
  segment+='\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
  local code='\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
  printf "$header$segment$code" >"$1"
  chmod +x "$1"
}

program=${CORVANE_I386_PROGRAM:-}
if [ -z "$program" ]; then
  program=$(dirname "$reason_file")/i386-exit-42
  write_i386_program "$program"
fi
ran=$("$program" 2>&1)
status=$?
[ -n "${CORVANE_I386_PROGRAM:-}" ] || rm -f "$program"
if [ $status -ne 42 ]; then
  ran=$(tail -n1 <<<"$ran")
  unavailable "this kernel does not run 32-bit programs (a minimal i386 program${ran:+: ${ran##*: }}, exit status $status)"
fi

if [ -x "$loader" ]; then
  rm -f "$reason_file"
  exit 0
fi

added=0
if ! "$dpkg" --print-foreign-architectures | grep -qx i386; then
  out=$("$dpkg" --add-architecture i386 2>&1) || unavailable "dpkg --add-architecture i386 failed: $out"
  added=1
fi

# Takes the architecture out again when this script added it, and fetches
# the lists without it, so that apt works for everything else.
take_back() {
  if [ $added -eq 1 ]; then
    "$dpkg" --remove-architecture i386 >/dev/null 2>&1
    "$apt_get" update -qq >/dev/null 2>&1
  fi
}

update() { out=$("$apt_get" -o DPkg::Lock::Timeout=300 update 2>&1) && ! grep -q '^E: ' <<<"$out"; }
if ! update; then
  echo "apt-get update failed ($(apt_error "$out")); once more"
  sleep "${CORVANE_APT_RETRY_SECONDS:-10}"
  if ! update; then
    error=$(apt_error "$out")
    take_back
    unavailable "the package lists for i386 cannot be fetched: $error"
  fi
fi

if ! out=$("$apt_get" -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends wine32:i386 2>&1); then
  error=$(apt_error "$out")
  take_back
  unavailable "wine32:i386 cannot be installed: $error"
fi
[ -x "$loader" ] || unavailable "wine32:i386 is installed, but $loader is missing"
rm -f "$reason_file"
echo "installed wine32:i386 ($loader)"
