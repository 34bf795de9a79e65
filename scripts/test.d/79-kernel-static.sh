# SPDX-License-Identifier: GPL-2.0 OR MIT
# The kernel's own static checkers on every kernel C file (*.c and *.h of
# platform/kernel/, drivers/ and tests/kernel/):
# - sparse (Debian's package) through tests/kernel/Makefile with C=2, on a
#   staged copy under build/kernel-static: the module, the test client and
#   both camera drivers; any sparse warning fails the step (the guard fails a
#   build log with a warning);
# - checkpatch.pl --strict --no-tree from the kernel sources Debian ships
#   (linux-source-6.1; only the script and its two data files are taken out
#   of the tarball, and kept in the kmod cache). The files are in the
#   kernel's typography (platform/kernel/.clang-format);
#   tests/kernel/checkpatch-baseline.txt holds the findings per file and type that remain, each kind with the
#   reason it stays (reasons below), and the step fails on any finding
#   beyond it (a new type, a higher count, or any finding in a file it does
#   not list) and on a kind that has no reason here.
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
source "$QUORVIN_ROOT/tests/kernel/vm/vm-lib.sh"
stage "$PWD/$out/src"
if make -C "$out/src/tests/kernel" C=2 client vcam usbcam >"$out/sparse.log" 2>&1; then
    checked=$(grep -c -E '^\s+CHECK ' "$out/sparse.log" || true)
    echo "sparse: $checked kernel C files checked, no warnings"
else
    grep -E 'warning:|error:|guard:' "$out/sparse.log" | sed "s|$PWD/$out/src/||" | sort -u
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
# Why each kind of finding that remains stays: a kind without a reason here
# cannot enter the baseline.
declare -A why=(
    [CAMELCASE]="names of the module's C interface (AWB/AWB.h: the Quorvin_ operations, AWBObject and its members, QuorvinSemaphore), which the C++ core and user space share, and the USB descriptors' fields of the kernel's uAPI (linux/usb/ch9.h: bLength, bInterfaceNumber and the rest); not the kernel's to rename"
    [LINUX_VERSION_CODE]="an out-of-tree module and driver built for several kernel series (5.10, 6.1, 6.12 and newer): the version tests pick what a series names or declares differently"
    [CONSTANT_COMPARISON]="the same version tests, in the form the kernel's own code uses (LINUX_VERSION_CODE >= KERNEL_VERSION(...))"
    [LONG_LINE_STRING]="the scenario's result lines: each format whole, as the kernel log shows it (coding style: messages are not split, so that grep finds them); a dozen fields take more than 100 columns"
    [TRAILING_SEMICOLON]="the expanders of platform/module_def.h's lists, whose entries have no separator between them: each expansion ends its own declaration"
    [MACRO_ARG_REUSE]="the parameter expander names its parameter in the variable, module_param and the description; the argument is an identifier, without side effects"
    [EXPORT_SYMBOL]="the exports are expanded from the list the user-space build shares, not written after each function (the functions are the C++ core's)"
    [PREFER_DEFINED_ATTRIBUTE_MACRO]="scenario.h is shared with the user-space host of the scenario, where the kernel's __printf does not exist; usbcam_proto.h with the USB camera's firmware (drivers/usbcam/device/), a user-space program, where __packed does not exist"
)
mapfile -t files < <(git ls-files 'platform/kernel/*.[ch]' 'drivers/*.[ch]' 'tests/kernel/*.[ch]')
: >"$out/checkpatch.log"
for f in "${files[@]}"; do
    perl "$scripts/checkpatch.pl" --strict --no-tree --terse --show-types --no-summary -f "$f" \
        >>"$out/checkpatch.log" 2>&1 || true
done
# "<file>:<line>: <LEVEL>:<TYPE>: message" -> "<file> <LEVEL>:<TYPE> <count>"
sed -n -E 's/^([^:]+):[0-9]+: (ERROR|WARNING|CHECK):([A-Z_0-9]+):.*/\1 \2:\3/p' "$out/checkpatch.log" |
    sort | uniq -c | awk '{print $2, $3, $1}' >"$out/checkpatch.txt"
baseline=tests/kernel/checkpatch-baseline.txt
if [ "${QUORVIN_CHECKPATCH_BASELINE:-}" = write ]; then
    {
        echo "# checkpatch --strict --no-tree findings that remain, per file and type, with"
        echo "# their count, grouped by kind with the reason each kind stays; written by"
        echo "# QUORVIN_CHECKPATCH_BASELINE=write scripts/test.d/79-kernel-static.sh"
        echo "# (the reasons are that step's)."
        for type in $(awk '{sub(/^[A-Z]+:/, "", $2); print $2}' "$out/checkpatch.txt" | sort -u); do
            echo
            echo "$type: ${why[$type]:-(no reason given)}" | fold -s -w 76 | sed 's/ *$//; s/^/# /'
            awk -v t="$type" '{k = $2; sub(/^[A-Z]+:/, "", k)} k == t' "$out/checkpatch.txt"
        done
    } >"$baseline"
    echo "checkpatch: baseline written ($(wc -l <"$out/checkpatch.txt") file and type pairs)"
fi
total=$(awk '{n += $3} END {print n + 0}' "$out/checkpatch.txt")
allowed=$(awk '$0 !~ /^(#|$)/ {n += $3} END {print n + 0}' "$baseline")
over=$(awk 'NR == FNR { if ($0 !~ /^(#|$)/) allowed[$1 " " $2] = $3; next }
    { key = $1 " " $2; if (!(key in allowed) || $3 > allowed[key])
        printf "  %s %s: %d (baseline %d)\n", $1, $2, $3, allowed[key] + 0 }' \
    "$baseline" "$out/checkpatch.txt")
for type in $(awk '$0 !~ /^(#|$)/ {sub(/^[A-Z]+:/, "", $2); print $2}' "$baseline" | sort -u); do
    [ -n "${why[$type]:-}" ] || over+="${over:+$'\n'}  $type: in the baseline without a reason in $0"
done
if [ -n "$over" ]; then
    echo "$over"
    echo "checkpatch: findings beyond $baseline (all of them in $out/checkpatch.log)"
    status=1
else
    echo "checkpatch: ${#files[@]} kernel C files, $total findings, none beyond $baseline"
    [ "$total" -eq "$allowed" ] ||
        echo "checkpatch: $((allowed - total)) fewer than the baseline allows: shrink it (QUORVIN_CHECKPATCH_BASELINE=write)"
fi
exit $status
