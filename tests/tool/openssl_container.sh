#!/bin/sh
# Builds and opens docseal containers with outside tools only (sha1sum,
# openssl, od, perl), so the tests can hold the program against an
# independent reading of the format:
#
#   openssl_container.sh seal PASSPHRASE IN OUT   write a mode-2 container
#   openssl_container.sh open PASSPHRASE IN OUT   open a mode-1/2 container
#
# Key: the passphrase as UTF-16LE with a terminating zero character is P;
# D1 = SHA-1(P), Dk = SHA-1(Dk-1) up to D10; key = D10 || SHA-1(P)[0..11].
# AES-256-CBC, zero IV, PKCS #5 padding. An empty passphrase in "open" means
# the built-in one (mode 1).
set -eu
cmd=$1 pass=$2 in=$3 out=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

hex2bin() { perl -e 'print pack("H*", $ARGV[0])' "$1"; }
sha1hex() { sha1sum | cut -c1-40; }

[ -n "$pass" ] || pass='{3C7A9F12-B4E6-4a0b-9A5C-7E21D8F4B603}'
printf '%s' "$pass" | iconv -f UTF-8 -t UTF-16LE > "$tmp/p"
printf '\000\000' >> "$tmp/p"

d=$(sha1hex < "$tmp/p")
i=1
while [ $i -lt 10 ]; do
    d=$(hex2bin "$d" | sha1hex)
    i=$((i + 1))
done
e=$(sha1hex < "$tmp/p")
key="$d$(printf '%s' "$e" | cut -c1-24)"
iv=00000000000000000000000000000000

case "$cmd" in
seal)
    size=$(wc -c < "$in")
    lenhex=$(printf '%08x' "$size" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')
    hex2bin "02000000$lenhex" > "$out"
    openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in "$in" >> "$out"
    ;;
open)
    len=$(od -An -tu4 -j4 -N4 "$in" | tr -d ' ')
    tail -c +9 "$in" | openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" | head -c "$len" > "$out"
    ;;
*)
    echo "usage: $0 seal|open PASSPHRASE IN OUT" >&2
    exit 2
    ;;
esac
