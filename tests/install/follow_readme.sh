#!/usr/bin/env bash
# Follows README.md's install steps as a new user does, in fresh copies of
# the tree, so that the README cannot drift from what works (CTest label
# "install").
#
#   follow_readme.sh <source-dir> <work-dir>
#
# The commands are the README's own: the ```sh blocks of its sections
# "Installing the library" (with "Windows") and "Using the library", run in
# the order written, one script, stopping at the first failure.  They run
# in a copy of the files git knows (tracked and untracked but not ignored:
# what a fresh clone holds, with the changes not yet committed), with HOME
# in <work-dir> so that "$HOME/.local" is a scratch prefix, and without
# LD_LIBRARY_PATH: the programs built must find the library by themselves.
# Then the files the README says are installed must be there, and the
# build must not have looked for GoogleTest.  In a second fresh copy,
# `bash scripts/demo.sh` (from "Two commands") and then the install command
# alone must install the same files.  The Windows block is left out, with a
# note, when MinGW-w64 is not installed.
set -euo pipefail

src=$(realpath "$1")
work=$(realpath -m "$2")
readme=$src/README.md

fail() { echo "FAIL: $*"; exit 1; }

# The ```sh blocks of a "## " section (its "### " subsections included).
section_commands() {
  awk -v name="$1" '
    /^## / { inside = ($0 == "## " name) }
    /^```/ { if (fence) { fence = 0; next } if (inside && $0 == "```sh") { fence = 1; next } }
    fence { print }' "$readme"
}

# The text of a section without its code blocks.
section_text() {
  awk -v name="$1" '
    /^## / { inside = ($0 == "## " name) }
    /^```/ { fence = !fence; next }
    inside && !fence { print }' "$readme"
}

# Installed files a part of a section names: `bin/...`, `include/...`, `lib/...`.
named_files() { grep -oE '`(bin|include|lib)/[^` ]+`' | tr -d '`' | sort -u; }

# A fresh copy of the tree.
fresh_copy() {
  local dest=$1
  rm -rf "$dest" && mkdir -p "$dest"
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
       while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
       tar --null -T - -cf -) | tar -C "$dest" -xf -
  else
    (cd "$src" && tar --exclude='./build*' --exclude=./out -cf - .) | tar -C "$dest" -xf -
  fi
}

# Runs a script of README commands in a copy, as a user with HOME=$2.
run_as_user() {
  local copy=$1 home=$2 script=$3 log=$4
  mkdir -p "$home"
  (cd "$copy" && env -u LD_LIBRARY_PATH -u PKG_CONFIG_PATH -u CMAKE_PREFIX_PATH HOME="$home" \
     bash -eu -o pipefail -x "$script") >"$log" 2>&1 ||
    { tail -n 40 "$log"; fail "a README command failed (the whole log: $log)"; }
}

check_installed() {
  local prefix=$1 what=$2 file
  while read -r file; do
    [ -e "$prefix/$file" ] || fail "$what: README.md says $file is installed; $prefix has none"
  done
}

rm -rf "$work" && mkdir -p "$work"
[ -f "$readme" ] || fail "no README.md in $src"

# One job per core at most: every -j of the README names a bound.
if grep -nE -- '(^|[[:space:]])-j([[:space:]]|$)' "$readme"; then
  fail "README.md runs an unbounded -j"
fi

install_steps=$(section_commands "Installing the library")
using_steps=$(section_commands "Using the library")
[ -n "$install_steps" ] && [ -n "$using_steps" ] || fail "README.md: no install or usage commands found"
windows_steps=$(awk '/^### Windows$/ { inside = 1; next } /^##/ { inside = 0 }
  /^```/ { if (fence) { fence = 0; next } if (inside && $0 == "```sh") { fence = 1; next } }
  fence { print }' "$readme")
if ! command -v i686-w64-mingw32-gcc >/dev/null; then
  echo "note: MinGW-w64 is not installed; the README's Windows block is left out"
  install_steps=$(grep -vxF -f <(echo "$windows_steps") <<<"$install_steps" || true)
  windows_steps=
fi

# 1. The install section and the usage section, in the order written.
copy=$work/clone
fresh_copy "$copy"
printf '%s\n' "$install_steps" "$using_steps" >"$work/readme-steps.sh"
echo "following README.md in $copy:"
sed 's/^/  /' "$work/readme-steps.sh"
run_as_user "$copy" "$work/home" "$work/readme-steps.sh" "$work/readme-steps.log"

section_text "Installing the library" | awk '/^### Windows$/ { exit } { print }' | named_files |
  check_installed "$work/home/.local" "the install"
if [ -n "$windows_steps" ]; then
  windows_prefix=$(sed -n 's/^cmake --install build-win32 --prefix "\$HOME\/\(.*\)"$/\1/p' <<<"$windows_steps")
  [ -n "$windows_prefix" ] || fail "README.md: no 'cmake --install build-win32 --prefix \"\$HOME/...\"' line"
  section_text "Installing the library" | awk '/^### Windows$/ { on = 1 } on' | named_files |
    check_installed "$work/home/$windows_prefix" "the Windows install"
fi
if grep -q '^GTest_DIR' "$copy/build/CMakeCache.txt"; then
  fail "the README's build looked for GoogleTest"
fi
grep -q '^MP4FileOpen: 1' "$work/readme-steps.log" || fail "read_samples did not open a file"
echo "README.md's install and usage steps work from a fresh copy"

# 2. The demo, then the install command alone.
copy=$work/clone-demo
fresh_copy "$copy"
demo=$(grep -xE '[[:space:]]*bash scripts/demo.sh[[:space:]]*' "$readme" | head -n 1 | xargs)
install=$(grep -m 1 -E '^cmake --install build ' <<<"$install_steps")
[ -n "$demo" ] && [ -n "$install" ] || fail "README.md: no demo or install command found"
printf '%s\n' "$demo" "$install" >"$work/demo-steps.sh"
echo "then in $copy:"
sed 's/^/  /' "$work/demo-steps.sh"
run_as_user "$copy" "$work/home-demo" "$work/demo-steps.sh" "$work/demo-steps.log"
section_text "Installing the library" | awk '/^### Windows$/ { exit } { print }' | named_files |
  check_installed "$work/home-demo/.local" "the install after the demo"
echo "after the demo, the install command alone installs"
