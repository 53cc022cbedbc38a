#!/bin/sh
# check_runpath.sh BUILD_DIR
# The programs and libraries of the build, and docseal as installed, look for
# libraries only in absolute folders or beside themselves ($ORIGIN): an empty
# or relative search-path entry would make the loader search the current
# folder of whoever runs them.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
DESTDIR="$scratch" cmake --install "$build" --prefix /usr >/dev/null
IFS='
'

# check FOLDER PROGRAM: every ELF file under FOLDER, which must hold PROGRAM.
check() {
    checked=0
    for f in $(find "$1" -type f); do
        [ "$(head -c 4 "$f" | tail -c 3)" = ELF ] || continue
        checked=$((checked + 1))
        readelf -d "$f" | awk -v file="$f" '
            /\((RPATH|RUNPATH)\)/ {
                sub(/.*\[/, ""); sub(/\][ \t]*$/, "")
                n = split($0, entries, ":")
                for (i = 1; i <= n; i++)
                    if (entries[i] !~ /^\// && entries[i] !~ /^\$(ORIGIN|\{ORIGIN\})(\/|$)/) {
                        printf "%s: search path entry \"%s\" in [%s]\n", file, entries[i], $0
                        bad = 1
                    }
            }
            END { exit bad }' || status=1
    done
    [ -x "$1/$2" ] || { echo "$1: no $2 here"; status=1; }
    echo "$1: $checked files checked"
}

status=0
check "$build/bin" docseal
[ ! -d "$build/lib" ] || check "$build/lib" .
check "$scratch/usr" bin/docseal
exit $status
