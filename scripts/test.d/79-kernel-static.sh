# SPDX-License-Identifier: GPL-2.0 OR MIT
# The kernel's own static checkers on every kernel C file (kmod/**/*.c):
# - sparse (Debian's package) through the module's Makefile with C=2, on a
#   source-tree copy under build/kernel-static: any sparse warning fails the
#   step (kmod/guard.sh fails a build log with a warning);
# - checkpatch.pl --strict --no-tree from the kernel sources Debian ships
#   (linux-source-6.1; only the script and its two data files are taken out
#   of the tarball, and kept in the kmod cache). The kernel C files follow
#   the project's clang-format style, not the kernel's, until they are
#   reformatted; kmod/checkpatch-baseline.txt holds the findings per file and
#   type that remain, and the step fails on any finding beyond it (a new
#   type, a higher count, or any finding in a file it does not list).
#   QUORVIN_CHECKPATCH_BASELINE=write rewrites the baseline from this tree.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs sparse linux-headers-amd64 perl xz-utils
out=build/kernel-static
rm -rf "$out"
mkdir -p "$out"
status=0

# sparse
make -s -C kmod source-tree DEST="$PWD/$out/src" >/dev/null
if make -C "$out/src" C=2 client >"$out/sparse.log" 2>&1; then
    checked=$(grep -c -E '^\s+CHECK ' "$out/sparse.log" || true)
    echo "sparse: $checked kernel C files checked, no warnings"
else
    grep -E 'warning:|error:|guard:' "$out/sparse.log" | sed "s|$PWD/$out/src/|kmod/|" | sort -u
    echo "sparse: FAILED (log in $out/sparse.log)"
    status=1
fi

# checkpatch
cache=${QUORVIN_KMOD_CACHE:-/var/cache/quorvin-kmod}/checkpatch
scripts="$cache/linux-source-6.1/scripts"
if [ ! -e "$scripts/checkpatch.pl" ]; then
    mkdir -p "$cache"
    # A machine whose package lists were never fetched needs an update first.
    fetch() { (cd "$cache" && as_root apt-get -o DPkg::Lock::Timeout=600 download linux-source-6.1); }
    rm -f "$cache"/linux-source-6.1_*.deb
    fetch >/dev/null 2>&1 || { as_root apt-get -o DPkg::Lock::Timeout=600 update -qq && fetch >/dev/null; }
    dpkg-deb --fsys-tarfile "$cache"/linux-source-6.1_*.deb |
        tar -xO ./usr/src/linux-source-6.1.tar.xz | xz -dc |
        tar -x -C "$cache" linux-source-6.1/scripts/checkpatch.pl \
            linux-source-6.1/scripts/spelling.txt linux-source-6.1/scripts/const_structs.checkpatch
    rm -f "$cache"/linux-source-6.1_*.deb
fi
mapfile -t files < <(git ls-files 'kmod/*.c')
: >"$out/checkpatch.txt"
for f in "${files[@]}"; do
    perl "$scripts/checkpatch.pl" --strict --no-tree --terse --show-types --no-summary -f "$f" \
        >>"$out/checkpatch.log" 2>&1 || true
done
# "<file>:<line>: <LEVEL>:<TYPE>: message" -> "<file> <LEVEL>:<TYPE> <count>"
sed -n -E 's/^([^:]+):[0-9]+: (ERROR|WARNING|CHECK):([A-Z_0-9]+):.*/\1 \2:\3/p' "$out/checkpatch.log" |
    sort | uniq -c | awk '{print $2, $3, $1}' >"$out/checkpatch.txt"
baseline=kmod/checkpatch-baseline.txt
if [ "${QUORVIN_CHECKPATCH_BASELINE:-}" = write ]; then
    {
        echo "# checkpatch --strict --no-tree findings that remain, per file and type, with"
        echo "# their count; written by QUORVIN_CHECKPATCH_BASELINE=write"
        echo "# scripts/test.d/79-kernel-static.sh. The files follow the project's"
        echo "# clang-format style (4-space indent, pointer beside the type, brace on the"
        echo "# function's line), which most of these are; to shrink as they are"
        echo "# reformatted to the kernel's style."
        cat "$out/checkpatch.txt"
    } >"$baseline"
    echo "checkpatch: baseline written ($(wc -l <"$out/checkpatch.txt") file and type pairs)"
fi
total=$(awk '{n += $3} END {print n + 0}' "$out/checkpatch.txt")
over=$(awk 'NR == FNR { if ($0 !~ /^#/) allowed[$1 " " $2] = $3; next }
    { key = $1 " " $2; if (!(key in allowed) || $3 > allowed[key])
        printf "  %s %s: %d (baseline %d)\n", $1, $2, $3, allowed[key] + 0 }' \
    "$baseline" "$out/checkpatch.txt")
if [ -n "$over" ]; then
    echo "$over"
    echo "checkpatch: findings beyond $baseline (all of them in $out/checkpatch.log)"
    status=1
else
    echo "checkpatch: ${#files[@]} kernel C files, $total findings, none beyond $baseline"
fi
exit $status
