#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Checks a kernel module build for what a C++ core must never bring into the
# kernel. Run after every build of a module:
#
#   guard.sh MODULE.ko ALLOW_LIST[:ALLOW_LIST...] BUILD_LOG [OBJECT.o ...]
#
# Fails on
# - an undefined symbol of MODULE.ko that no line of ALLOW_LIST matches (each
#   line an extended regular expression for a whole symbol name; # comments;
#   several lists separated by colons, e.g. the common list and a kernel
#   series' own):
#   a C++ runtime or libgcc helper (operator new, __cxa_*, __udivdi3 ...)
#   would be unresolvable or wrong in the kernel;
# - a .init_array/.ctors/.eh_frame/.gcc_except_table section in the module or
#   the objects (constructors never run in a module; no unwinder exists);
# - any SIMD or x87 register in the disassembly (the kernel does not save
#   them for module code), except in the functions vector.txt
#   beside this script names (the pixel kernels' vector entry points, run only
#   between kernel_fpu_begin() and kernel_fpu_end()); the objects it names
#   are checked through the linked module. On arm64 the same for the
#   floating-point and vector registers (v, q, d, s, h, b and SVE's z), read
#   with the cross objdump (${CROSS_COMPILE}objdump; the host's cannot
#   disassemble arm64);
# - any objtool warning, compiler warning or modpost warning in BUILD_LOG.
set -euo pipefail

[ $# -ge 3 ] || { echo "usage: $0 MODULE.ko ALLOW_LIST[:ALLOW_LIST...] BUILD_LOG [OBJECT.o ...]" >&2; exit 2; }
ko=$1
allow=$2
log=$3
shift 3
name=$(basename "$ko")
problems=0

fail() {
    echo "guard: $name: $*" >&2
    problems=$((problems + 1))
}

[ -f "$ko" ] || { echo "guard: $ko: no such module" >&2; exit 1; }

# The module's architecture decides the tools and the registers to look for.
machine=$(readelf -h "$ko" | sed -n 's/^ *Machine: *//p')
case $machine in
AArch64)
    arch=arm64
    objdump=${CROSS_COMPILE:-aarch64-linux-gnu-}objdump
    ;;
*)
    arch=x86
    objdump=objdump
    ;;
esac

# Undefined symbols outside the allow-list.
IFS=: read -r -a allow_lists <<<"$allow"
patterns=$(cat "${allow_lists[@]}" | grep -v -E '^[[:space:]]*(#|$)' | sed 's/^/^(/; s/$/)$/' | paste -sd'|')
while read -r sym; do
    [ -n "$sym" ] || continue
    if ! grep -q -E "$patterns" <<<"$sym"; then
        fail "undefined symbol not allowed: $sym"
    fi
done < <("${objdump%objdump}nm" -u "$ko" | awk '{print $2}')

# Constructor and unwind sections.
for f in "$ko" "$@"; do
    bad=$(readelf -S -W "$f" | grep -o -E '\.(init_array|fini_array|ctors|dtors|eh_frame|eh_frame_hdr|gcc_except_table)\b' |
        sort -u | paste -sd' ' || true)
    [ -z "$bad" ] || fail "$(basename "$f") has sections $bad"
done

# SIMD and x87 registers, outside the functions allowed them.
vectors=$(dirname "$0")/vector.txt
vector_objects=
vector_functions='^$'
if [ -f "$vectors" ]; then
    vector_objects=$(sed -n 's/^object  *//p' "$vectors" | paste -sd' ')
    vector_functions=$(sed -n 's/^function  *//p' "$vectors" | sed 's/^/^(/; s/$/)/' | paste -sd'|')
    [ -n "$vector_functions" ] || vector_functions='^$'
fi
simd_outside() { # simd_outside FILE: vector instructions outside the allowed functions
    "$objdump" -d --no-show-raw-insn "$1" | awk -v allowed="$vector_functions" -v arch="$arch" '
        /^[0-9a-f]+ <[^>]+>:$/ { fn = $2; gsub(/^<|>:$/, "", fn); ok = fn ~ allowed; next }
        ok || !/^ *[0-9a-f]+:\t/ { next }
        arch == "x86" && /%([xyz]mm[0-9]+|mm[0-7]|st(\([0-7]\))?)([^0-9a-z(]|$)/ && n++ < 5 { print fn ": " $0 }
        arch == "arm64" {
            # The operands alone: no address, mnemonic, branch target
            # ("b68 <symbol+offset>") or comment (// ...).
            line = $0
            sub(/^ *[0-9a-f]+:\t[^\t]*\t?/, "", line)
            gsub(/[0-9a-f]+ <[^>]*>/, "", line)
            gsub(/<[^>]*>/, "", line)
            sub(/\/\/.*/, "", line)
            if (line ~ /(^|[^a-z0-9_.])[vqdshbz][0-9]+([^a-z0-9_]|$)/ && n++ < 5) print fn ": " $0
        }'
}
for f in "$ko" "$@"; do
    case " $vector_objects " in *" $(basename "$f") "*) continue ;; esac
    simd=$(simd_outside "$f")
    [ -z "$simd" ] || fail "SIMD, x87 or floating-point registers used in $(basename "$f"):"$'\n'"$simd"
done

# Warnings of objtool (x86), the compilers and modpost.
warn=$(grep -E 'objtool|warning:|WARNING:' "$log" | head -10 || true)
[ -z "$warn" ] || fail "warnings in the build log:"$'\n'"$warn"

if [ $problems -ne 0 ]; then
    echo "guard: $name: $problems problem(s)" >&2
    exit 1
fi
echo "guard: $name: clean ($("${objdump%objdump}nm" -u "$ko" | wc -l) undefined symbols, all allowed)"
