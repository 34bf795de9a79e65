# SPDX-License-Identifier: GPL-2.0 OR MIT
# The kernel fetching of tests/kernel/vm/kernels.sh and need_pkgs of scripts/lib.sh
# against the Debian archive as it is on a bad day, with no network: a small
# archive of fake packages (dpkg-deb, apt-ftparchive) served over HTTP on
# 127.0.0.1, laid out as Debian's (debian/ with bookworm and
# bookworm-updates, debian-security/ with bookworm-security; no
# bookworm-backports), where
#   - bookworm-security's i386 Packages.xz has a size its Release file does
#     not give (a mirror caught mid-sync), so apt ignores that whole suite
#     for a state that knows i386;
#   - bookworm-updates lists an ABI whose image is not in the pool (404),
#     and a busybox-static that is not there either;
#   - bookworm-security's headers want a kbuild version that is not indexed.
# The real kernel_prepare must then deliver 6.1-amd64 at the older ABI of
# bookworm-security with another kbuild, 6.1-686 at bookworm's ABI, and
# fail 6.12-amd64 alone with a one-line reason (and 5.10-amd64 when the
# archive cannot be reached); each replacement logged
# with the package, the version and why. need_pkgs (simulated installs
# against the same archive) installs what resolves and fails clearly on
# what does not. Work files in build/archive-test.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs apt-utils dpkg-dev python3 xz-utils

work=$QUORVIN_ROOT/build/archive-test
rm -rf "$work"
mkdir -p "$work/www" "$work/fake"
passed=0 failed=0
check() { # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name" >&2
    fi
}
has() { grep -q -F -e "$2" "$1"; } # has FILE TEXT

# --- the archive ------------------------------------------------------------------
# fake_deb ROOT NAME VERSION ARCH DEPENDS [PATH=TEXT...]: a package holding
# the files given, in ROOT's pool.
fake_deb() {
    local root=$1 name=$2 version=$3 arch=$4 depends=$5 d f
    shift 5
    d=$(mktemp -d "$work/fake/XXXX")
    mkdir -p "$d/DEBIAN"
    {
        echo "Package: $name"
        echo "Version: $version"
        echo "Architecture: $arch"
        echo "Maintainer: Quorvin tests <tests@invalid>"
        [ -z "$depends" ] || echo "Depends: $depends"
        echo "Description: fake $name for the archive test"
    } >"$d/DEBIAN/control"
    for f in "$@"; do
        mkdir -p "$d/$(dirname "${f%%=*}")"
        echo "${f#*=}" >"$d/${f%%=*}"
    done
    mkdir -p "$root/pool/main"
    dpkg-deb -Zgzip --root-owner-group --build "$d" "$root/pool/main/${name}_${version#*:}_$arch.deb" >/dev/null
}

# fake_kernel ROOT ABI VERSION KBUILD_VERSION FLAVOUR...: a 6.1 kernel
# (headers, common headers, image, metapackages); a kbuild of the series
# when KBUILD_VERSION is set.
fake_kernel() {
    local root=$1 abi=$2 version=$3 kbuild=$4 flavour arch
    shift 4
    fake_deb "$root" "linux-headers-$abi-common" "$version" all "" \
        "usr/src/linux-headers-$abi-common/Makefile=# common $abi"
    for flavour in "$@"; do
        arch=amd64
        [ "$flavour" = amd64 ] || arch=i386
        fake_deb "$root" "linux-headers-$abi-$flavour" "$version" $arch \
            "linux-headers-$abi-common (= $version), linux-kbuild-6.1 (>= $version)" \
            "usr/src/linux-headers-$abi-$flavour/Makefile=include /usr/src/linux-headers-$abi-common/Makefile" \
            "usr/src/linux-headers-$abi-$flavour/.kernelvariables=CC = gcc"
        fake_deb "$root" "linux-image-$abi-$flavour" "$version" $arch "" "boot/vmlinuz-$abi-$flavour=vmlinuz $abi"
        fake_deb "$root" "linux-headers-$flavour" "$version" $arch "linux-headers-$abi-$flavour (= $version)"
    done
    [ -z "$kbuild" ] || fake_deb "$root" linux-kbuild-6.1 "$kbuild" amd64 "" "usr/lib/linux-kbuild-6.1/version=$kbuild"
}

# index ROOT DIST: Packages.xz per architecture and a Release file that
# gives their sizes and hashes, and those of the uncompressed Packages,
# which (as on Debian's mirrors) is not served.
index() {
    local root=$1 dist=$2 arch
    for arch in amd64 i386; do
        mkdir -p "$root/dists/$dist/main/binary-$arch"
        (cd "$root" && apt-ftparchive --arch "$arch" packages pool/main) >"$root/dists/$dist/main/binary-$arch/Packages"
        xz -k "$root/dists/$dist/main/binary-$arch/Packages"
    done
    apt-ftparchive -o "APT::FTPArchive::Release::Suite=$dist" -o "APT::FTPArchive::Release::Codename=$dist" \
        -o "APT::FTPArchive::Release::Architectures=amd64 i386" -o APT::FTPArchive::Release::Components=main \
        release "$root/dists/$dist" >"$work/Release"
    mv "$work/Release" "$root/dists/$dist/Release"
    rm "$root/dists/$dist/main/binary-"*/Packages
}

www=$work/www
fake_kernel "$www/debian/p-bookworm" 6.1.0-50 6.1.170-1 6.1.170-1 amd64 686
fake_deb "$www/debian/p-bookworm" busybox-static 1:1.35.0-4 amd64 "" "bin/busybox=busybox 1.35 amd64"
fake_deb "$www/debian/p-bookworm" busybox-static 1:1.35.0-4 i386 "" "bin/busybox=busybox 1.35 i386"
fake_deb "$www/debian/p-bookworm" quorvin-fake-tool 1.0 amd64 ""
fake_kernel "$www/debian/p-bookworm-updates" 6.1.0-58 6.1.200-1 6.1.200-1 amd64
fake_deb "$www/debian/p-bookworm-updates" busybox-static 1:1.36.1-1 amd64 "" "bin/busybox=busybox 1.36"
fake_kernel "$www/debian-security/p-bookworm-security" 6.1.0-57 6.1.192-3 "" amd64 686
fake_deb "$www/debian-security/p-bookworm-security" linux-kbuild-6.1 6.1.194-1 amd64 ""
fake_deb "$www/debian-security/p-bookworm-security" quorvin-fake-fix 1.0 amd64 ""
# Each suite its own pool, as Debian's pools are shared but the indexes differ;
# apt fetches from the path the index names.
for dist in debian/p-bookworm debian/p-bookworm-updates debian-security/p-bookworm-security; do
    index "$www/$dist" "${dist#*/p-}"
    mkdir -p "$www/${dist%%/*}/dists"
    mv "$www/$dist/dists/${dist#*/p-}" "$www/${dist%%/*}/dists/"
    mkdir -p "$www/${dist%%/*}/pool/main"
    mv "$www/$dist/pool/main/"* "$www/${dist%%/*}/pool/main/"
    rm -rf "${www:?}/$dist"
done
# A mirror mid-sync: an index that is not the size its Release file says.
echo >>"$www/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
# Listed, not in the pool.
rm "$www/debian/pool/main/linux-image-6.1.0-58-amd64_6.1.200-1_amd64.deb"
rm "$www/debian/pool/main/busybox-static_1.36.1-1_amd64.deb"

python3 -c '
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(str(server.server_port))
__import__("os").rename(sys.argv[2] + ".tmp", sys.argv[2])
server.serve_forever()' "$www" "$work/port" 2>"$work/http.log" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/port" ] || sleep 0.1; done
[ -s "$work/port" ] || { echo "archive test: the local HTTP server did not start" >&2; exit 1; }

export QUORVIN_KMOD_CACHE=$work/cache
QUORVIN_DEBIAN_MIRROR=http://127.0.0.1:$(cat "$work/port")
export QUORVIN_DEBIAN_MIRROR
export QUORVIN_DEBIAN_SOURCE_OPTS=trusted=yes
export QUORVIN_APT_RETRY_DELAY=1
source tests/kernel/vm/kernels.sh

# --- the kernels --------------------------------------------------------------------
for name in 6.1-amd64 6.1-686 6.12-amd64; do
    rc=0
    kernel_prepare "$name" 2>"$work/$name.log" || rc=$?
    echo "$rc" >"$work/$name.rc"
    sed "s/^/   $name: /" "$work/$name.log"
done

# 6.1-amd64: bookworm-updates' ABI 58 answers 404 for its image; the kbuild
# version bookworm-security's ABI 57 wants is not indexed.
log=$work/6.1-amd64.log
check "6.1-amd64 prepared" test "$(cat "$work/6.1-amd64.rc")" = 0
kernel_load 6.1-amd64
check "6.1-amd64: ABI 57 after 58" test "$K_KVER" = 6.1.0-57-amd64
check "6.1-amd64: the 404 named" \
    has "$log" "ABI 6.1.0-58 (6.1.200-1): linux-image-6.1.0-58-amd64:amd64=6.1.200-1: HTTP 404 ($QUORVIN_DEBIAN_MIRROR/debian/pool/main/linux-image-6.1.0-58-amd64_6.1.200-1_amd64.deb)"
check "6.1-amd64: the replacement named" has "$log" "using ABI 6.1.0-57 (6.1.192-3) instead of 6.1.0-58 (6.1.200-1)"
check "6.1-amd64: kbuild replaced, and why" has "$log" \
    "linux-kbuild-6.1:amd64=6.1.192-3: not in the index; using linux-kbuild-6.1:amd64=6.1.200-1 instead"
check "6.1-amd64: the kbuild extracted is the one named" \
    test "$(cat "$CACHE/k/6.1-amd64/root/usr/lib/linux-kbuild-6.1/version")" = 6.1.200-1
check "6.1-amd64: vmlinuz of ABI 57" test "$(cat "$K_VMLINUZ")" = "vmlinuz 6.1.0-57"
check "6.1-amd64: the headers' Makefile points into the cache" \
    has "$K_HEADERS/Makefile" "include $CACHE/k/6.1-amd64/root/usr/src/linux-headers-6.1.0-57-common/Makefile"
check "6.1-amd64: busybox 404 named, older one used" \
    has "$log" "apt: busybox-static:amd64=1:1.36.1-1 missing (HTTP 404 ($QUORVIN_DEBIAN_MIRROR/debian/pool/main/busybox-static_1.36.1-1_amd64.deb)); using 1:1.35.0-4 instead"
check "6.1-amd64: busybox 1.35" test "$(cat "$K_BUSYBOX")" = "busybox 1.35 amd64"
check "6.1-amd64: an amd64 state fetches no i386 index" \
    test -z "$(find "$CACHE/apt/bookworm/amd64/lists" -name '*binary-i386*')"

# 6.1-686: the i386 index of bookworm-security fails; bookworm's ABI 50.
log=$work/6.1-686.log
check "6.1-686 prepared" test "$(cat "$work/6.1-686.rc")" = 0
kernel_load 6.1-686
check "6.1-686: bookworm's ABI 50" test "$K_KVER" = 6.1.0-50-686
check "6.1-686: the failed index named, and why" \
    has "$log" "$QUORVIN_DEBIAN_MIRROR/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz File has unexpected size"
check "6.1-686: ABI 50 said to be the newest that arrived" \
    has "$log" "ABI 6.1.0-50 (6.1.170-1) is the newest in the lists that arrived (index failed to download:"
check "6.1-686: the kbuild of the same version" \
    test "$(cat "$CACHE/k/6.1-686/root/usr/lib/linux-kbuild-6.1/version")" = 6.1.170-1
check "6.1-686: i386 busybox" test "$(cat "$K_BUSYBOX")" = "busybox 1.35 i386"

# 6.12-amd64: bookworm-backports is not there at all.
log=$work/6.12-amd64.log
check "6.12-amd64 fails" test "$(cat "$work/6.12-amd64.rc")" != 0
check "6.12-amd64: one line of reason, last" \
    grep -q -x "kernel 6.12-amd64: unavailable: no package list of bookworm-backports (amd64) arrived: .*bookworm-backports.*" \
    <<<"$(tail -1 "$log")"

# A complete descriptor needs no archive.
kill "$server"
wait "$server" 2>/dev/null || true
check "6.1-amd64 prepared again without the archive" kernel_prepare 6.1-amd64
# An archive that cannot be reached: apt-get update only warns (exit 0).
rc=0
kernel_prepare 5.10-amd64 2>"$work/5.10-amd64.log" || rc=$?
sed "s/^/   5.10-amd64: /" "$work/5.10-amd64.log"
check "5.10-amd64 fails when the archive cannot be reached" test $rc != 0
check "5.10-amd64: says the archive could not be reached" \
    grep -q -x "kernel 5.10-amd64: unavailable: no package list of bullseye (amd64) arrived: .*connect.*" \
    <<<"$(tail -1 "$work/5.10-amd64.log")"

# --- need_pkgs ------------------------------------------------------------------------
# Simulated installs (apt-get -s) through a private state of the same archive
# that knows i386: its update fails on bookworm-security. A package of
# bookworm installs; one only bookworm-security has does not, after a second
# try, with apt's reason.
python3 -c '
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])), handler)
server.serve_forever()' "$www" "$(cat "$work/port")" 2>>"$work/http.log" &
server=$!
for _ in $(seq 100); do (: </dev/tcp/127.0.0.1/"$(cat "$work/port")") 2>/dev/null && break || sleep 0.1; done
apt_state bookworm i386 2>/dev/null
: >"$work/status"
NEED_PKGS_APT_OPTS=("${APT_OPTS[@]}" -o "Dir::State::status=$work/status" -o "Dir::State=$work/state" \
    -o APT::Get::Simulate=true)
NEED_PKGS_STAMP=$work/apt-updated
NEED_PKGS_RETRY_DELAY=0
mkdir -p "$work/state"
rc=0
need_pkgs quorvin-fake-tool >"$work/need-tool.log" 2>&1 || rc=$?
sed 's/^/   need_pkgs: /' "$work/need-tool.log"
check "need_pkgs: goes on past the failed index" test $rc = 0
check "need_pkgs: says which index failed" has "$work/need-tool.log" "binary-i386/Packages.xz File has unexpected size"
rc=0
need_pkgs quorvin-fake-fix >"$work/need-fix.log" 2>&1 || rc=$?
sed 's/^/   need_pkgs: /' "$work/need-fix.log"
check "need_pkgs: fails on a package only the failed suite has" test $rc != 0
check "need_pkgs: tries again after a refresh" has "$work/need-fix.log" "install failed; refreshing the package lists"
check "need_pkgs: names what it cannot install" has "$work/need-fix.log" "need_pkgs: cannot install quorvin-fake-fix"

echo "archive checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
