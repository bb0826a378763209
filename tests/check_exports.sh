#!/usr/bin/env bash
# The shared library's dynamic symbols: exactly the 21 exports named in the
# .def file, and no import of the C++ runtime's throwing machinery (operator
# new, __cxa_throw, std::__throw_*), so no C++ exception can start inside the
# library and cross an export.
#
#   check_exports.sh NM LIBRARY DEF_FILE
set -euo pipefail
nm=$1 lib=$2 def=$3

expected=$(sed -nE 's/^[[:space:]]+_([A-Za-z0-9_]+)@[0-9]+[[:space:]]*=.*/\1/p' "$def" | sort)
defined=$("$nm" -D --defined-only "$lib" | awk '{print $3}' | sort)
status=0
if [ "$defined" != "$expected" ]; then
  echo "exported but not in $def:"; comm -13 <(echo "$expected") <(echo "$defined")
  echo "in $def but not exported:"; comm -23 <(echo "$expected") <(echo "$defined")
  status=1
fi
throwing=$("$nm" -D --undefined-only "$lib" | awk '{print $2}' |
           grep -E '^(_Znw|_Zna|__cxa_throw$|__cxa_allocate_exception$|_ZSt[0-9]+__throw_)' || true)
if [ -n "$throwing" ]; then
  echo "imports that throw C++ exceptions:"; echo "$throwing"
  status=1
fi
[ $status -eq 0 ] && echo "$(echo "$defined" | wc -l) exports, nothing else; no throwing imports"
exit $status
