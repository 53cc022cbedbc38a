#!/bin/sh
# Computes the key-derivation vectors of derive_vectors.txt with sha1sum and
# xxd alone, outside the code under test:
#   D   = SHA-1 applied N times to passphrase || salt
#   E   = SHA-1(passphrase)
#   key = D[0..19] || E[0..(length - 21)]
# The passphrase is UTF-16LE with its terminating zero unit.
#
# Usage: derive_vectors.sh > derive_vectors.txt
# Output lines: <name> <passphrase hex> <salt hex or -> <iterations> <length> <key hex>
set -eu

for tool in sha1sum xxd; do
    command -v "$tool" >/dev/null 2>&1 || { echo "derive_vectors.sh: $tool is missing" >&2; exit 1; }
done

# UTF-16LE of an ASCII text, with the terminating zero unit, as hex.
utf16z() {
    printf '%s' "$1" | xxd -p -c 1 | while read -r b; do printf '%s00' "$b"; done
    printf '0000'
}

sha1hex() { xxd -r -p | sha1sum | cut -d' ' -f1; }

# derive <name> <passphrase hex> <salt hex or -> <iterations> <length>
derive() {
    name=$1 pass=$2 salt=$3 n=$4 len=$5
    input=$pass
    [ "$salt" = - ] || input=$pass$salt
    d=$input
    i=0
    while [ "$i" -lt "$n" ]; do
        d=$(printf '%s' "$d" | sha1hex)
        i=$((i + 1))
    done
    e=$(printf '%s' "$pass" | sha1hex)
    if [ "$len" -le 20 ]; then
        key=$(printf '%s' "$d" | cut -c1-$((len * 2)))
    else
        key=$d$(printf '%s' "$e" | cut -c1-$(((len - 20) * 2)))
    fi
    echo "$name $pass $salt $n $len $key"
}

secret=$(utf16z secret)
derive aes-secret-10 "$secret" - 10 32
derive 3des-secret-10 "$secret" - 10 24
derive aes-secret-1 "$secret" - 1 32
derive aes-secret-salt-3 "$secret" "$(printf 'NaCl' | xxd -p)" 3 32
derive 3des-passphrase-salt-2 "$(utf16z 'correct horse')" "$(printf '\001\002\003\004\005\006\007\010' | xxd -p)" 2 24
derive short-secret-10 "$secret" - 10 16
