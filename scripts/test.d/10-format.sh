# SPDX-License-Identifier: GPL-2.0 OR MIT
# Every C and C++ source must match its clang-format style (Debian's
# clang-format):
# - the kernel C (*.c and *.h of platform/kernel/, drivers/ and
#   tests/kernel/: the platform layer, the reference drivers, the test
#   modules and the VM's tools) platform/kernel/.clang-format, the kernel's
#   typography; a line of it over 80 columns only for a string that is not
#   to be broken (a message, a module's description);
# - everything else, the C++ core and the pixel self-test's C++
#   (tests/kernel/pixeltest/pixeltest.cpp) included, the top-level
#   .clang-format.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.c' '*.cpp' '*.h' '*.hpp' |
    grep -v -E '^(build|fuzz/corpus)/' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
kernel=()
other=()
for f in "${files[@]}"; do
    case "$f" in
    platform/kernel/*.[ch] | drivers/*.[ch] | tests/kernel/*.[ch]) kernel+=("$f") ;;
    *) other+=("$f") ;;
    esac
done
status=0
clang-format --style=file:.clang-format --dry-run --Werror "${other[@]}" || status=1
clang-format --style=file:platform/kernel/.clang-format --dry-run --Werror "${kernel[@]}" || status=1
# clang-format runs past the limit only where it cannot break; of those,
# only a line that holds a string literal may stay.
long=$(for f in "${kernel[@]}"; do
    expand -t 8 "$f" | awk -v f="$f" 'length($0) > 80 && !/"/ { print f ":" NR ": " length($0) " columns" }'
done)
if [ -n "$long" ]; then
    echo "$long"
    echo "format: kernel C lines over 80 columns without a string"
    status=1
fi
[ $status -eq 0 ] || exit 1
echo "format: ${#files[@]} files checked (${#kernel[@]} kernel C in the kernel's style)"
