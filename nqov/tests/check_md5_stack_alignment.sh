#!/usr/bin/env bash
# Checks the Windows objects of the SIMD MD5 kernels for aligned vector
# moves that touch the stack.
#
# mingw-w64's GCC gives vector registers it keeps on the stack 32- or
# 64-byte alignment that Windows does not guarantee (the stack is aligned to
# 16), so such a move faults on some calls and not on others; Wine's thread
# start-up can hide it.  The kernels are assembled with
# -Wa,-muse-unaligned-vector-move, which leaves no aligned move at all.
#
#   check_md5_stack_alignment.sh OBJDUMP OBJECT...
#
# An OBJECT argument may hold several paths separated by ';' (a CMake list).

set -euo pipefail

objdump=$1
shift

# Aligned moves (legacy SSE, VEX and EVEX forms) with a stack operand.
ALIGNED_STACK_MOVE='^[[:space:]]*[0-9a-f]+:[[:space:]]+(v?movdq?a|v?movap[sd]|vmovdqa(32|64)|v?movntdqa?|v?movntp[sd])[[:space:]].*\((%rsp|%rbp)[,)]'

# The pattern itself must find what it is meant to find.
for sample in '  1c:	vmovdqa %ymm6,0x20(%rsp)' '  40:	vmovdqa64 0x40(%rbp),%zmm1' \
              '  8:	movaps %xmm6,(%rsp)' '  9:	vmovaps %ymm1,0x10(%rsp,%rax,1)'; do
    if ! grep -Eq "$ALIGNED_STACK_MOVE" <<<"$sample"; then
        echo "check_md5_stack_alignment.sh: the pattern misses '$sample'" >&2
        exit 1
    fi
done
for sample in '  1c:	vmovdqu %ymm6,0x20(%rsp)' '  2:	vmovdqa64 (%rdi),%zmm1'; do
    if grep -Eq "$ALIGNED_STACK_MOVE" <<<"$sample"; then
        echo "check_md5_stack_alignment.sh: the pattern wrongly matches '$sample'" >&2
        exit 1
    fi
done

objects=()
for arg in "$@"; do
    IFS=';' read -r -a parts <<<"$arg"
    objects+=("${parts[@]}")
done
if (( ${#objects[@]} == 0 )); then
    echo "check_md5_stack_alignment.sh: no object files given" >&2
    exit 1
fi

bad=0
for object in "${objects[@]}"; do
    if [[ ! -f "$object" ]]; then
        echo "missing: $object" >&2
        bad=1
        continue
    fi
    listing=$("$objdump" -d --no-show-raw-insn "$object")
    # A kernel's listing without wide registers means the wrong file or a
    # failed disassembly, not a clean kernel.
    if ! grep -Eq '%[yz]mm[0-9]+' <<<"$listing"; then
        echo "no AVX code in $object" >&2
        bad=1
        continue
    fi
    found=$(grep -E "$ALIGNED_STACK_MOVE" <<<"$listing" || true)
    if [[ -n "$found" ]]; then
        echo "aligned vector moves on the stack in $object:" >&2
        printf '%s\n' "$found" | head -n 20 >&2
        bad=1
    else
        echo "ok: $(basename "$object"): $(grep -Ec '%[yz]mm' <<<"$listing") instructions on ymm/zmm registers, no aligned stack move"
    fi
done
exit "$bad"
