#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Licence tags of the project's own files. Every tracked C, C++, header,
# script and build file carries the line
#     SPDX-License-Identifier: GPL-2.0 OR MIT
# as its first line (the second after a shebang), commented the way the
# kernel's tree does: // in .c/.cpp, /* */ in headers, # in scripts and
# build files. Data, JSON and documentation files carry none.
#
#   scripts/spdx.sh          checks, lists the files that lack the line
#   scripts/spdx.sh --fix    writes the line where it is missing or different
set -euo pipefail
cd "$(dirname "$0")/.."

ID='SPDX-License-Identifier: GPL-2.0 OR MIT'
fix=false
[ "${1:-}" = --fix ] && fix=true

# The comment form of FILE's licence line, or nothing for a file that needs none.
form() {
    case "$1" in
    *.c | *.cc | *.cpp) echo "// $ID" ;;
    *.h | *.hpp) echo "/* $ID */" ;;
    *.sh | *.py | *.cmake | */CMakeLists.txt | CMakeLists.txt | */Kbuild | Kbuild | \
        */Makefile | Makefile | *.mk | */dkms.conf | debian/rules) echo "# $ID" ;;
    *)
        # Any other executable text with a shebang is a script too.
        if head -c 2 "$1" | grep -q '^#!'; then echo "# $ID"; fi
        ;;
    esac
}

bad=0
while IFS= read -r f; do
    [ -f "$f" ] || continue
    want=$(form "$f")
    [ -n "$want" ] || continue
    line=1
    head -n 1 "$f" | grep -q '^#!' && line=2
    have=$(sed -n "${line}p" "$f")
    [ "$have" = "$want" ] && continue
    if $fix; then
        if grep -q 'SPDX-License-Identifier' <<<"$have"; then
            sed -i "${line}s|.*|$want|" "$f"
        elif [ $line -eq 2 ]; then
            sed -i "1a\\$want" "$f"
        else
            sed -i "1i\\$want" "$f"
        fi
    else
        echo "missing or wrong licence line: $f" >&2
        bad=$((bad + 1))
    fi
done < <(git ls-files)
if ! $fix; then
    [ $bad -eq 0 ] || { echo "spdx: $bad files without the licence line" >&2; exit 1; }
    echo "spdx: every source, script and build file carries the licence line"
fi
