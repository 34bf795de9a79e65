# SPDX-License-Identifier: GPL-2.0 OR MIT
# Every C and C++ source must match .clang-format (Debian's clang-format).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.c' '*.cpp' '*.h' '*.hpp' |
    grep -v -E '^(build|fuzz/corpus)/' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
clang-format --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files checked"
