#!/usr/bin/env bash
# The example hosts of examples/ against the installed library, built and
# run as a host author builds and runs them (CTest label "install").
#
#   run_examples.sh linux   <source-dir> <work-dir> <build-dir>
#   run_examples.sh windows <source-dir> <work-dir>
#
# linux    installs <build-dir> into <work-dir>/prefix, builds the examples
#          with CMake's find_package and with pkg-config, runs both builds
#          without LD_LIBRARY_PATH (the installed package's rpath must find
#          the library) and checks their reports against expected/, the
#          library's diagnostics in their logs, and the file write_file
#          wrote against ffprobe and ffmpeg.  What it ran stays in
#          <work-dir>/linux for the Windows run to compare with.
# windows  cross-builds Corvane2.dll for 32-bit and 64-bit Windows, installs
#          the 32-bit one, builds the examples against its import library,
#          and runs them under the 32-bit wine: reports, logs and written
#          file must equal the Linux run's.  An import library made from
#          the installed Corvane2.def as MSVC's lib makes one binds a
#          client to the DLL.  It reads both DLLs' version resources with
#          GetFileVersionInfoA under wine.  Exit 77 (skipped) when MinGW-w64
#          or the 32-bit wine is missing.
set -euo pipefail

mode=$1
src=$(realpath "$2")
work=$(realpath -m "$3")
expected=$src/tests/install/expected
data=$src/tests/data

fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# Each run has a folder of its own and uses relative paths: the library
# prints the paths as given, so the logs of every run compare line for line.
prepare_run() {
  rm -rf "$1" && mkdir -p "$1"
  cp "$data/av.mp4" "$data/video.m4v" "$data/audio.aac" "$1"/
}

# run_examples DIR READ_SAMPLES WRITE_FILE [LAUNCHER...]
run_examples() {
  local dir=$1 read=$2 write=$3
  shift 3
  (cd "$dir" &&
   "$@" "$read" av.mp4 av.log >av.out &&
   "$@" "$write" video.m4v audio.aac written.mp4 >write.out &&
   "$@" "$read" written.mp4 written.log >written.out) ||
    fail "an example failed in $dir: $(tail -n 3 "$dir"/*.out 2>/dev/null)"
}

# The reports are the expected ones (the Windows runtime ends lines with CR
# LF); the library's diagnostics went to the logs, not into the reports.
check_run() {
  local dir=$1 out log lines
  for out in av.out write.out written.out; do
    diff "$expected/$out" <(tr -d '\r' <"$dir/$out") ||
      fail "$dir/$out differs from tests/install/expected/$out (< expected, > got)"
  done
  for log in av written; do
    [ "$(head -n 1 "$dir/$log.log" | tr -d '\r')" = "file is [$log.mp4]" ] ||
      fail "$dir/$log.log does not begin with the open's first line"
    lines=$(tr -d '\r' <"$dir/$log.log" |
            grep -cE "^(got track \[[0-9]+\]|Can't find such track ?\[[0-9]+\] atom)$" || true)
    [ "$lines" = 400 ] || fail "$dir/$log.log has $lines track lines, expected one per id 0 to 399"
  done
}

# A field of a report line: `field "video in order:" 4 file` prints the 4th
# word of the line that begins with the text.
field() { awk -v head="$1" -v n="$2" 'index($0, head) == 1 { print $n; exit }' "$3"; }

# ffprobe and ffmpeg, readers that no one here wrote, on the written file:
# the streams, their sizes and packet counts and key frames are those the
# examples reported, and the file decodes without an error.
check_with_ffmpeg() {
  local dir=$1 got want
  command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null ||
    { echo "ffprobe/ffmpeg not installed: the written file is not checked by them"; return; }
  got=$(ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets \
        -of csv=p=0 "$dir/written.mp4")
  want=$(printf 'mpeg4,%s\naac,%s' "$(field "video in order:" 4 "$dir/written.out")" \
         "$(field "audio in order:" 4 "$dir/written.out")")
  [ "$got" = "$want" ] || fail "ffprobe sees streams and packets '$got', the examples '$want'"
  got=$(ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 "$dir/written.mp4")
  want=$(field "written.mp4: video" 3 "$dir/write.out" | tr -d ',' | tr x ,)
  [ "$got" = "$want" ] || fail "ffprobe sees the picture size $got, write_file $want"
  got=$(ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 "$dir/written.mp4" |
        grep -c K || true)
  want=$(field "key frames:" 3 "$dir/written.out")
  [ "$got" = "$want" ] || fail "ffprobe sees $got key frames, read_samples $want"
  got=$(ffmpeg -nostdin -v error -i "$dir/written.mp4" -f null - 2>&1)
  [ -z "$got" ] || fail "ffmpeg reports errors decoding written.mp4: $got"
  echo "ffprobe and ffmpeg agree with the examples on the written file"
}

# The run-time search path a program recorded.
runpath() { readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p'; }

run_linux() {
  local build=$1 base=$work/linux-builds prefix=$work/linux-builds/prefix bin flags
  rm -rf "$base" "$work/linux" && mkdir -p "$base"
  cmake --install "$build" --prefix "$prefix" >"$base/install.log"
  for file in include/corvane2.h lib/libCorvane2.so lib/pkgconfig/corvane2.pc \
              lib/cmake/Corvane2/Corvane2Config.cmake; do
    [ -e "$prefix/$file" ] || fail "the install left no $file"
  done

  # CMake: find_package(Corvane2), as examples/CMakeLists.txt has it.
  cmake -S "$src/examples" -B "$base/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$base/cmake.log" ||
    { cat "$base/cmake.log"; fail "configuring the examples with find_package failed"; }
  cmake --build "$base/cmake" >>"$base/cmake.log" 2>&1 ||
    { cat "$base/cmake.log"; fail "building the examples with find_package failed"; }
  # pkg-config.
  mkdir -p "$base/pkg-config"
  flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs corvane2)
  for example in read_samples write_file; do
    cc -std=c99 -Wall -Wextra -Werror -o "$base/pkg-config/$example" "$src/examples/$example.c" $flags
  done

  for bin in "$base/cmake" "$base/pkg-config"; do
    for example in read_samples write_file; do
      [ "$(realpath -m "$(runpath "$bin/$example")")" = "$(realpath "$prefix/lib")" ] ||
        fail "$bin/$example records the search path '$(runpath "$bin/$example")', not $prefix/lib"
    done
    prepare_run "$bin.run"
    run_examples "$bin.run" "$bin/read_samples" "$bin/write_file" env -u LD_LIBRARY_PATH
    check_run "$bin.run"
  done
  diff -r "$base/cmake.run" "$base/pkg-config.run" >/dev/null ||
    fail "the find_package and pkg-config builds differ in what they wrote"
  check_with_ffmpeg "$base/cmake.run"
  mv "$base/cmake.run" "$work/linux"
  echo "the examples built with find_package and with pkg-config run from the installed package"
}

# Names an image imports from Corvane2.dll.
dll_imports() {
  i686-w64-mingw32-objdump -p "$1" | awk '
    /DLL Name:/ { inside = ($3 == "Corvane2.dll"); next }
    inside && /^[[:space:]]*$/ { inside = 0 }
    inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $3 }' | sort
}

# An MSVC host's import library, made from the installed lib/Corvane2.def
# with LLVM's Microsoft-compatible tools (no MSVC here): lld-link reads a
# module definition by Microsoft's rules and writes the import library of
# the DLL it links (this LLVM's llvm-lib has no /def), so a throw-away DLL
# of empty functions is linked with the def to get it.  A client that
# imports all 21 functions through that library must load against the real
# DLL under wine, and GetFileInfo on a missing file must answer -11.
check_msvc_import_library() {
  local wine=$1 def=$2 dll=$3 dir=$work/msvc clang lld
  clang=$(command -v clang || true)
  lld=$(command -v lld-link || ls /usr/lib/llvm-*/bin/lld-link 2>/dev/null | tail -n 1 || true)
  if [ -z "$clang" ] || [ -z "$lld" ]; then
    echo "clang or lld-link is not installed: the MSVC import library is not tried"
    return
  fi
  rm -rf "$dir" && mkdir -p "$dir/stub"
  # Every "_Name@bytes" line as a __stdcall prototype with bytes/4 int arguments.
  prototypes() {
    awk -v body="$1" '/^[[:space:]]+_[A-Za-z0-9_]+@[0-9]+[[:space:]]*$/ {
      sub(/^[[:space:]]+_/, ""); split($0, p, "@"); args = "";
      for (i = 0; i < p[2] / 4; i++) args = args (i ? ", " : "") "int a" i;
      print (body ? "" : "__declspec(dllimport) ") "int __stdcall " p[1] "(" (args ? args : "void") ")" \
            (body ? " { return 0; }" : ";");
      refs = refs "(const void *)&" p[1] ", " }
      END { if (!body) print "const void *const every_export[] = {" refs "};" }' "$def"
  }
  prototypes 1 >"$dir/stub.c"
  { prototypes 0
    echo 'int __stdcall start(void) {'
    echo '    int info[24];'
    echo '    return every_export[0] && GetFileInfo((int)"no such file.mp4", (int)info) == -11 ? 0 : 1;'
    echo '}'; } >"$dir/client.c"
  "$clang" --target=i686-pc-windows-msvc -c "$dir/stub.c" -o "$dir/stub.obj"
  "$lld" /dll /noentry /nodefaultlib /machine:x86 /def:"$def" "$dir/stub.obj" \
    /out:"$dir/stub/Corvane2.dll" /implib:"$dir/Corvane2.lib" ||
    fail "lld-link cannot make an import library from lib/Corvane2.def"
  "$clang" --target=i686-pc-windows-msvc -c "$dir/client.c" -o "$dir/client.obj"
  "$lld" /entry:start /subsystem:console /nodefaultlib /machine:x86 "$dir/client.obj" \
    "$dir/Corvane2.lib" /out:"$dir/client.exe" ||
    fail "a client does not link through the import library made from lib/Corvane2.def"
  [ "$(dll_imports "$dir/client.exe" | wc -l)" = 21 ] || fail "the MSVC client does not import 21 functions"
  cp "$dll" "$dir/"
  (cd "$dir" && "$wine" client.exe) ||
    fail "a client linked through the import library made from lib/Corvane2.def fails against Corvane2.dll"
  echo "an MSVC import library made from lib/Corvane2.def binds the 21 exports"
}

# The version resource as GetFileVersionInfoA and VerQueryValueA read it.
check_version() {
  local loader=$1 exe=$2 dll=$3 got major minor patch version
  major=$(sed -n 's/^#define CORVANE2_VERSION_MAJOR \([0-9]*\)$/\1/p' "$src/include/corvane2.h")
  minor=$(sed -n 's/^#define CORVANE2_VERSION_MINOR \([0-9]*\)$/\1/p' "$src/include/corvane2.h")
  patch=$(sed -n 's/^#define CORVANE2_VERSION_PATCH \([0-9]*\)$/\1/p' "$src/include/corvane2.h")
  version=$(sed -n 's/^#define CORVANE2_VERSION_STRING "\(.*\)"$/\1/p' "$src/include/corvane2.h")
  [ "$version" = "$major.$minor.$patch" ] ||
    fail "corvane2.h: version string $version, numbers $major.$minor.$patch"
  got=$(cd "$(dirname "$dll")" && "$loader" "$exe" "$(basename "$dll")" | tr -d '\r')
  for line in "FILEVERSION $version.0" "PRODUCTVERSION $version.0" "FILETYPE DLL" \
              "FileVersion $version" "ProductVersion $version" "ProductName Corvane2" \
              "OriginalFilename Corvane2.dll" "InternalName Corvane2"; do
    grep -qxF "$line" <<<"$got" || fail "$dll: the version resource lacks '$line'; it reads:
$got"
  done
  grep -q '^FileDescription [^(]' <<<"$got" || fail "$dll: no FileDescription"
  echo "$dll: version resource $version"
}

run_windows() {
  local linux=$work/linux prefix=$work/prefix-win32 run=$work/win32 names imported version
  command -v i686-w64-mingw32-gcc >/dev/null && command -v x86_64-w64-mingw32-gcc >/dev/null ||
    skip "MinGW-w64 is not installed (scripts/build-windows.sh installs it)"
  [ -d "$linux" ] || fail "the Linux run (install.examples) left nothing in $linux"
  "$src/scripts/build-windows.sh" "$work" >"$work/build-windows.log" 2>&1 ||
    { cat "$work/build-windows.log"; fail "the cross build failed"; }
  rm -rf "$prefix"
  cmake --install "$work/build-win32" --prefix "$prefix" >/dev/null
  for file in bin/Corvane2.dll lib/libCorvane2.dll.a lib/Corvane2.def include/corvane2.h; do
    [ -e "$prefix/$file" ] || fail "the Windows install left no $file"
  done

  # lib/Corvane2.def names the DLL and its 21 decorated exports, one a line.
  names=$(sed -n 's/^[[:space:]]*\(_[A-Za-z0-9_]*@[0-9]*\)[[:space:]]*=.*/\1/p' \
          "$src/src/dll/Corvane2.def" | sort)
  [ "$(echo "$names" | wc -l)" = 21 ] || fail "src/dll/Corvane2.def: no 21 exports"
  [ "$(sed -n 's/^LIBRARY[[:space:]]*//p' "$prefix/lib/Corvane2.def" | tr -d '\r')" = Corvane2.dll ] ||
    fail "lib/Corvane2.def does not name Corvane2.dll"
  diff <(echo "$names") <(sed -n '/^EXPORTS/,$p' "$prefix/lib/Corvane2.def" | sed 1d | tr -d ' \r' | sort) ||
    fail "lib/Corvane2.def does not list the DLL's exports (< exports, > listed)"

  # The examples against the import library; what they import from the DLL
  # are its decorated exports.
  rm -rf "$run" && mkdir -p "$work/bin-windows"
  for example in read_samples write_file; do
    i686-w64-mingw32-gcc -std=c99 -Wall -Wextra -Werror -I"$prefix/include" \
      -o "$work/bin-windows/$example.exe" "$src/examples/$example.c" -L"$prefix/lib" -lCorvane2
    imported=$(dll_imports "$work/bin-windows/$example.exe")
    [ -n "$imported" ] && [ -z "$(comm -23 <(echo "$imported") <(echo "$names"))" ] ||
      fail "$example.exe imports from Corvane2.dll: $imported"
  done
  for arch in i686:32 x86_64:64; do
    "${arch%:*}-w64-mingw32-gcc" -std=c11 -Wall -Wextra -Werror \
      -o "$work/bin-windows/version_info${arch#*:}.exe" "$src/tests/install/version_info.c" -lversion
  done
  version=$(sed -n 's/^#define CORVANE2_VERSION_STRING "\(.*\)"$/\1/p' "$src/include/corvane2.h")
  strings -el "$prefix/bin/Corvane2.dll" | grep -qxF "$version" ||
    fail "Corvane2.dll holds no version string $version"
  echo "built for 32-bit Windows against the import library; the DLL holds the version $version"

  # Debian's 32-bit loader (package wine32:i386), outside PATH.
  local wine=/usr/lib/wine/wine wine64 wineserver
  local unavailable=${CORVANE_WINE32_UNAVAILABLE:-}
  if [ -n "$unavailable" ] && [ -s "$unavailable" ]; then
    skip "32-bit Windows programs cannot run here: $(cat "$unavailable");" \
         "the examples and the version reader were built but not run"
  fi
  [ -x "$wine" ] ||
    skip "the 32-bit wine (/usr/lib/wine/wine, package wine32:i386) is not installed:" \
         "the examples and the version reader were built but not run"
  wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  export WINEPREFIX=$work/wineprefix WINEDEBUG=-all DISPLAY= \
         WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the wine prefix $WINEPREFIX"
    # A prefix made by the 64-bit loader runs 32-bit programs as well.
    if [ -x "$wine64" ]; then "$wine64" wineboot --init; else "$wine" wineboot --init; fi \
      >/dev/null 2>&1 || true
    "$wineserver" -w || true
  fi

  prepare_run "$run"
  cp "$prefix/bin/Corvane2.dll" "$work"/bin-windows/*.exe "$run"/
  run_examples "$run" read_samples.exe write_file.exe "$wine"
  check_run "$run"
  for log in av.log written.log; do
    diff "$linux/$log" <(tr -d '\r' <"$run/$log") ||
      fail "the library's diagnostics differ between Linux and 32-bit Windows in $log (< Linux, > wine)"
  done
  cmp "$linux/written.mp4" "$run/written.mp4" ||
    fail "write_file wrote different files on Linux and 32-bit Windows"
  echo "the 32-bit examples under wine give the Linux run's reports, diagnostics and file"

  check_msvc_import_library "$wine" "$prefix/lib/Corvane2.def" "$prefix/bin/Corvane2.dll"
  check_version "$wine" "$run/version_info32.exe" "$run/Corvane2.dll"
  if [ -x "$wine64" ]; then
    mkdir -p "$work/win64" && cp "$work/build-win64/Corvane2.dll" "$work/win64/"
    cp "$work/bin-windows/version_info64.exe" "$work/win64/"
    check_version "$wine64" "$work/win64/version_info64.exe" "$work/win64/Corvane2.dll"
  else
    echo "wine64 is not installed: the 64-bit DLL's version resource is not read"
  fi
  "$wineserver" -w || true
}

case $mode in
  linux) run_linux "$(realpath "$4")" ;;
  windows) run_windows ;;
  *) fail "unknown mode $mode" ;;
esac
