#!/usr/bin/env bash
# scripts/install-wine32.sh on machines that cannot have the 32-bit Wine,
# and the skip of the 32-bit tests that follows, without touching the
# system: apt-get and dpkg are stand-ins that log their calls and fail as
# told, the loader is a file in a scratch folder, and a kernel that refuses
# 32-bit programs is a program the kernel refuses (an ELF file for another
# machine).  Each case checks the calls made, the reason recorded and the
# architectures left configured.
#
#   check_install_wine32.sh <source-dir>
set -euo pipefail
src=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-ins.  dpkg keeps its foreign architectures in $work/arches;
# apt-get update fails while $work/update-failures counts down, with the
# error a mirror without i386 lists gives; apt-get install fails when
# $work/install-fails exists, else makes the loader.
mkdir -p "$work/bin"
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >>"$WORK/calls"
case $1 in
  --print-foreign-architectures) cat "$WORK/arches" 2>/dev/null || true ;;
  --add-architecture) echo "$2" >>"$WORK/arches" ;;
  --remove-architecture) grep -vx "$2" "$WORK/arches" >"$WORK/arches.new" || true; mv "$WORK/arches.new" "$WORK/arches" ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
args=$(echo "$*" | sed 's/-o DPkg::Lock::Timeout=[0-9]* //')
echo "apt-get $args" >>"$WORK/calls"
case $args in
  update*)
    left=$(cat "$WORK/update-failures" 2>/dev/null || echo 0)
    if [ "$left" -gt 0 ] && grep -qx i386 "$WORK/arches" 2>/dev/null; then
      echo $((left - 1)) >"$WORK/update-failures"
      echo "Err:5 http://deb.example/debian bookworm/main i386 Packages"
      echo "  404  Not Found [IP: 192.0.2.1 80]"
      echo "E: Failed to fetch http://deb.example/debian/dists/bookworm/main/binary-i386/Packages  404  Not Found [IP: 192.0.2.1 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install*)
    if [ -e "$WORK/install-fails" ]; then echo "E: Unable to locate package wine32:i386"; exit 100; fi
    mkdir -p "$WORK/lib" && touch "$WORK/lib/wine" && chmod +x "$WORK/lib/wine" ;;
esac
EOF
chmod +x "$work/bin/dpkg" "$work/bin/apt-get"
# What a kernel without 32-bit support does with the minimal i386 program:
# an ELF file it cannot run (here one for an AArch64 machine).
printf '\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00' >"$work/foreign"
chmod +x "$work/foreign"

failed=0
# case NAME [VAR=VALUE...]: runs the script with a fresh state, the
# variables set (arches=LIST, update_failures=N, install_fails=1, loader=1,
# program=PATH), then compares its calls, reason and architectures with the
# expected ones, given on standard input as "calls:", "reason:" and
# "arches:" lines.
case_() {
  local name=$1 arches= update_failures=0 install_fails= loader= program=
  shift
  local "$@"
  rm -rf "$work/state" && mkdir -p "$work/state"
  export WORK=$work/state
  printf '%s' "$arches" | tr ',' '\n' >"$WORK/arches"
  echo "$update_failures" >"$WORK/update-failures"
  [ -z "$install_fails" ] || touch "$WORK/install-fails"
  if [ -n "$loader" ]; then mkdir -p "$WORK/lib" && touch "$WORK/lib/wine" && chmod +x "$WORK/lib/wine"; fi
  echo "a reason left by an earlier run" >"$WORK/reason.txt"
  local status=0
  CORVANE_APT_GET=$work/bin/apt-get CORVANE_DPKG=$work/bin/dpkg CORVANE_WINE32_LOADER=$WORK/lib/wine \
    CORVANE_I386_PROGRAM=$program CORVANE_APT_RETRY_SECONDS=0 \
    bash "$src/scripts/install-wine32.sh" "$WORK/reason.txt" </dev/null >"$WORK/output" 2>&1 || status=$?
  {
    echo "status: $status"
    sed 's/^/calls: /' "$WORK/calls" 2>/dev/null || true
    if [ -e "$WORK/reason.txt" ]; then echo "reason: $(cat "$WORK/reason.txt")"; else echo "reason: none"; fi
    local left
    left=$(paste -sd, "$WORK/arches")
    echo "arches: ${left:-none}"
  } >"$WORK/got"
  if diff -u --label "$name (expected)" --label "$name (got)" - "$WORK/got"; then
    echo "ok       $name"
  else
    failed=1
    sed 's/^/  output: /' "$WORK/output"
  fi
}

case_ "a kernel that refuses 32-bit programs: nothing installed" program="$work/foreign" <<'EOF'
status: 0
reason: this kernel does not run 32-bit programs (a minimal i386 program: Exec format error, exit status 126)
arches: none
EOF

case_ "the 32-bit Wine already there: apt left alone, an old reason removed" loader=1 <<'EOF'
status: 0
reason: none
arches: none
EOF

case_ "i386 lists that cannot be fetched twice: the architecture taken out again" update_failures=2 <<'EOF'
status: 0
calls: dpkg --print-foreign-architectures
calls: dpkg --add-architecture i386
calls: apt-get update
calls: apt-get update
calls: dpkg --remove-architecture i386
calls: apt-get update -qq
reason: the package lists for i386 cannot be fetched: E: Failed to fetch http://deb.example/debian/dists/bookworm/main/binary-i386/Packages  404  Not Found [IP: 192.0.2.1 80]
arches: none
EOF

case_ "a fetch that fails once: the retry installs" update_failures=1 <<'EOF'
status: 0
calls: dpkg --print-foreign-architectures
calls: dpkg --add-architecture i386
calls: apt-get update
calls: apt-get update
calls: apt-get install -y -qq --no-install-recommends wine32:i386
reason: none
arches: i386
EOF

case_ "an i386 architecture configured before: kept when its lists fail" arches=i386 update_failures=2 <<'EOF'
status: 0
calls: dpkg --print-foreign-architectures
calls: apt-get update
calls: apt-get update
reason: the package lists for i386 cannot be fetched: E: Failed to fetch http://deb.example/debian/dists/bookworm/main/binary-i386/Packages  404  Not Found [IP: 192.0.2.1 80]
arches: i386
EOF

case_ "a package source without wine32:i386: the architecture taken out again" install_fails=1 <<'EOF'
status: 0
calls: dpkg --print-foreign-architectures
calls: dpkg --add-architecture i386
calls: apt-get update
calls: apt-get install -y -qq --no-install-recommends wine32:i386
calls: dpkg --remove-architecture i386
calls: apt-get update -qq
reason: wine32:i386 cannot be installed: E: Unable to locate package wine32:i386
arches: none
EOF

# The 32-bit tests report the recorded reason as their skip (status 77),
# before they build or look for Wine.
echo "the package lists for i386 cannot be fetched: E: Failed to fetch (a test)" >"$work/reason.txt"
for mode in host scenarios; do
  status=0
  got=$(bash "$src/tests/windows/run_windows_checks.sh" $mode "$src" "$work/none" "$work/none.so" \
          bits=32 "unavailable=$work/reason.txt") || status=$?
  expected="SKIP: 32-bit Windows programs cannot run here: the package lists for i386 cannot be fetched: E: Failed to fetch (a test)"
  if [ $status -eq 77 ] && [ "$got" = "$expected" ]; then
    echo "ok       the 32-bit $mode check skips with the recorded reason"
  else
    failed=1
    echo "FAIL     the 32-bit $mode check: status $status, said: $got"
  fi
done
exit $failed
