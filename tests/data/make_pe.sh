#!/bin/sh
# Rebuilds the small Windows PE samples that the version-resource tests read:
#   sample32.exe  32-bit (i686) program, resource from sample_exe.rc
#   sample64.dll  64-bit (x86-64) library, resource from sample_dll.rc
# Needs Debian's mingw-w64 tools (gcc-mingw-w64-i686, gcc-mingw-w64-x86-64,
# binutils-mingw-w64). The outputs are kept in the repository, so building
# and testing docseal never needs these tools; run this only after changing
# a resource script.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The smallest code that makes a valid image: an entry point that returns.
printf 'int entry(void) { return 0; }\n' > "$work/entry.c"

build() { # prefix, entry symbol, rc, output, extra link flags
    prefix=$1 sym=$2 rc=$3 out=$4
    shift 4
    "$prefix-windres" --input-format=rc --output-format=coff -c 65001 "$rc" "$work/res.o"
    "$prefix-gcc" -Os -s -nostdlib -ffreestanding -fno-asynchronous-unwind-tables \
        -Wl,-e,"$sym" -Wl,--no-insert-timestamp "$@" \
        -o "$out" "$work/entry.c" "$work/res.o"
}

build i686-w64-mingw32 _entry sample_exe.rc sample32.exe
build x86_64-w64-mingw32 entry sample_dll.rc sample64.dll -shared
chmod 644 sample32.exe sample64.dll
ls -l sample32.exe sample64.dll
