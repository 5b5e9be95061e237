#!/bin/bash
# Builds the libFuzzer target for the stored-password reader (Decode, DecryptBlock, FromHex) with
# clang and runs it, by default for 60 seconds. Not part of the test run.
#
#   bench/fuzz_cipher.sh [seconds] [build folder]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
out="${2:-$root/build-fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}"

mkdir -p "$out"
echo "building $out/cipher_fuzz with $cxx"
# shellcheck disable=SC2046
"$cxx" -std=c++20 -O1 -g -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Wall -Wextra -pedantic -DQT_NO_CAST_FROM_ASCII -I"$root" $(pkg-config --cflags Qt6Core) \
    "$root/bench/fuzz/cipher_fuzz.cpp" "$root/jobs/PasswordCipher.cpp" "$root/jobs/KeyContainer.cpp" \
    "$root/jobs/PrivateFiles.cpp" \
    $(pkg-config --libs Qt6Core) -lcrypto -o "$out/cipher_fuzz"

work="$(mktemp -d "${TMPDIR:-/tmp}/cipher-fuzz-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/keys" "$work/corpus" "$work/seeds"

echo "running for ${seconds} s"
status=0
CIPHER_FUZZ_KEYS="$work/keys" CIPHER_FUZZ_SEEDS="$work/seeds" \
    "$out/cipher_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$out/" "$work/corpus" "$work/seeds" >"$out/cipher_fuzz.log" 2>&1 || status=$?

grep -E '^(#[0-9]+[[:space:]]+DONE|stat::|SUMMARY|==[0-9]+==ERROR|cipher_fuzz:)' "$out/cipher_fuzz.log" || true
if [ "$status" -eq 0 ]; then
    echo "outcome: clean (${seconds} s, log $out/cipher_fuzz.log)"
else
    echo "outcome: FAILED with status $status (log and crash input in $out)"
fi
exit "$status"
