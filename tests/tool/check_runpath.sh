#!/bin/sh
# check_runpath.sh BUILD_DIR: the built programs and libraries, and docseal as
# installed, look for libraries only in absolute folders or relative to
# themselves ($ORIGIN); an empty or relative search-path entry would make the
# loader search the current folder of whoever runs them.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
DESTDIR="$scratch" cmake --install "$1" --prefix /usr >/dev/null
test -x "$1/bin/docseal" && test -x "$scratch/usr/bin/docseal"
find "$1/bin" "$1/lib" "$scratch/usr" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF &&
    readelf -d "$1" | sed -n "s|.*(R[UN]*PATH).*\[\(.*\)\]\$|$1: \1|p"' _ {} \; |
awk -F': ' '{ n = split($2, e, ":")
              for (i = 1; i <= n; i++) if (e[i] !~ /^(\/|\$ORIGIN(\/|$)|\$\{ORIGIN\}(\/|$))/) {
                  print "search path entry \"" e[i] "\" in " $0; bad = 1 } }
            END { exit bad }'
