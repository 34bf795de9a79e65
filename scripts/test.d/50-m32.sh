# SPDX-License-Identifier: GPL-2.0 OR MIT
# 32-bit x86 build (g++ -m32) of the library and every test: the balance
# object must be exactly 1636 bytes there, as drivers built for that target
# expect. Installing g++-multilib removes Debian's cross compilers. Where the
# kernel cannot run 32-bit programs, the tests run under qemu's user-mode
# emulator.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs g++-multilib

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main(void) { return 0; }' >"$probe/probe.c"
gcc -m32 "$probe/probe.c" -o "$probe/probe"
emulator=()
if ! "$probe/probe" 2>/dev/null; then
    need_pkgs qemu-user
    echo "m32: this kernel does not run 32-bit programs; running them under qemu-i386"
    emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v qemu-i386)")
fi

cmake --preset m32 "${emulator[@]}" >/dev/null
cmake --build --preset m32 -j "$(nproc)"
ctest --preset m32 -j "$(nproc)"
