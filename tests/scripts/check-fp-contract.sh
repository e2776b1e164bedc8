#!/usr/bin/env bash
# Floating-point results are the same on every machine only if no compiler
# fuses a * b + c into one rounding (GCC does by default wherever the
# processor has fused multiply-adds: aarch64, x86-64-v3 and up).  Checks that
# every translation unit of a build was compiled with -ffp-contract=off and
# that its kernel and detection core libraries hold no fused multiply-add
# instruction.
#   check-fp-contract.sh BUILD_DIR OBJDUMP
set -euo pipefail
build=$1
objdump=$2
commands=$build/compile_commands.json
units=$(grep -c '"command"' "$commands")
loose=$(grep '"command"' "$commands" | grep -vc -- '-ffp-contract=off' || true)
if [ "$loose" != 0 ]; then
    echo "fp-contract: $loose of $units translation units in $build are built without -ffp-contract=off" >&2
    exit 1
fi
# aarch64 fmadd/fmsub/fnmadd/fnmsub/fmla/fmls; x86 vfmadd231pd and the like.
fused=$("$objdump" -d --no-show-raw-insn "$build/liborbisect_kernels.a" "$build/liborbisect_core.a" |
    grep -cE '\s(fn?m(add|sub)|fml[as]|vfn?m(add|sub)[0-9]{3}[ps][sd]|vfm(addsub|subadd)[0-9]{3}p[sd])\s' || true)
if [ "$fused" != 0 ]; then
    echo "fp-contract: the kernels and the detection core in $build hold $fused fused multiply-add instructions" >&2
    exit 1
fi
# The core's geometry keeps to square roots and the four operations: the
# C library's transcendental functions differ in their last bits between
# machines (glibc's hypot between aarch64 and x86-64, its atan2, sin and cos
# between x86-64 processors with and without FMA).
nm=${objdump%objdump}nm
libm=$("$nm" "$build/liborbisect_core.a" | awk '$1 == "U" { print $2 }' |
    grep -xE '(a?(sin|cos|tan)h?|atan2|sincos|hypot|exp(2|10|m1)?|log(2|10|1p)?|pow|cbrt|erfc?|[lt]gamma)f?' | sort -u || true)
if [ -n "$libm" ]; then
    echo "fp-contract: the detection core in $build calls" $libm "(results differ between machines)" >&2
    exit 1
fi
echo "fp-contract: $units translation units built with -ffp-contract=off, no fused multiply-add in the kernels or the detection core"
