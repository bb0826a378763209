#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C program
# against it twice: with CMake's find_package and with pkg-config.
set -euo pipefail
build=$1 source=$2 fixture=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/corvane2.h"
test -f "$work/prefix/lib/pkgconfig/corvane2.pc" || test -f "$work"/prefix/lib/*/pkgconfig/corvane2.pc
cmake -S "$source/tests/install" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libCorvane2.so*' | head -n1)")
LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer" "$fixture"
pc=$(dirname "$(find "$work/prefix" -name corvane2.pc)")
if command -v pkg-config >/dev/null; then
  flags=$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs corvane2)
  cc "$source/tests/install/consumer.c" $flags -o "$work/consumer-pc"
  LD_LIBRARY_PATH="$libdir" "$work/consumer-pc" "$fixture"
fi
