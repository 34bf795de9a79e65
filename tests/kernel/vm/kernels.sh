# SPDX-License-Identifier: GPL-2.0 OR MIT
# Debian's kernels of the test matrix, fetched from Debian's archive through a
# private apt state and extracted, never installed: sourced by vm-test.sh and
# the package test.
#
# A kernel is named SERIES-FLAVOUR: 5.10-amd64 5.10-686 (bullseye),
# 6.1-amd64 6.1-686 (bookworm), 6.12-amd64 (bookworm-backports; Debian has no
# 32-bit 6.12). kernel_prepare NAME fetches and extracts what the kernel
# needs and writes its descriptor; kernel_load NAME sets these variables:
#   K_NAME K_SERIES K_FLAVOUR  5.10-686, 5.10, 686
#   K_ARCH                     Debian architecture of the kernel (amd64, i386)
#   K_ABI K_KVER               5.10.0-32, 5.10.0-32-686 (uname -r)
#   K_QEMU                     qemu-system-x86_64 or qemu-system-i386
#   K_HEADERS                  the extracted headers (a kernel build tree)
#   K_IMAGE_DEB                the linux-image .deb (its modules: kernel_modules)
#   K_VMLINUZ                  the kernel image
#   K_CC_DIR                   folder to put first on PATH for the compiler the
#                              headers want, empty when the host has it
#   K_BUSYBOX                  static busybox of the kernel's architecture
#
# Everything lives under $CACHE (QUORVIN_KMOD_CACHE, default
# /var/cache/quorvin-kmod): apt/<suite>/ (sources list, lists, apt cache),
# debs/, k/<name>/ (descriptor kernel.env, root/ with the extracted headers,
# vmlinuz, modules/), cc/gcc-<N>/. A complete descriptor is reused without
# asking the network; delete k/<name> (or the cache) for newer kernels.

CACHE=${QUORVIN_KMOD_CACHE:-/var/cache/quorvin-kmod}
QUORVIN_KERNELS_ALL="5.10-amd64 5.10-686 6.1-amd64 6.1-686 6.12-amd64"
DEBIAN_MIRROR=${QUORVIN_DEBIAN_MIRROR:-http://deb.debian.org}

# kernel_suite SERIES: the private apt state a series comes from.
kernel_suite() {
    case $1 in
    5.10) echo bullseye ;;
    6.1) echo bookworm ;;
    6.12) echo bookworm-backports ;;
    *) return 1 ;;
    esac
}

# apt_state SUITE: creates (once) and refreshes (when older than an hour)
# the private apt state of SUITE and sets APT_OPTS to use it. The machine's
# own sources, lists, cache and dpkg status are never read or written; i386
# is known to this state only, so the machine needs no foreign architecture.
apt_state() {
    local suite=$1 dir=$CACHE/apt/$1 key=/usr/share/keyrings/debian-archive-keyring.gpg
    APT_OPTS=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o Dir::State::status=/dev/null
        -o APT::Architectures::=amd64 -o APT::Architectures::=i386 -o Acquire::Languages=none)
    [ -z "$(find "$dir/updated" -mmin -60 2>/dev/null)" ] || return 0
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    {
        case $suite in
        bullseye)
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian bullseye main"
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian-security bullseye-security main"
            ;;
        bookworm)
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian bookworm main"
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian bookworm-updates main"
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian-security bookworm-security main"
            ;;
        bookworm-backports)
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian bookworm-backports main"
            ;;
        trixie)
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian trixie main"
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian trixie-updates main"
            echo "deb [signed-by=$key] $DEBIAN_MIRROR/debian-security trixie-security main"
            ;;
        esac
    } >"$dir/sources.list"
    apt-get "${APT_OPTS[@]}" -q update >"$dir/update.log" 2>&1 || {
        cat "$dir/update.log" >&2
        return 1
    }
    touch "$dir/updated"
}

# apt_field PKG[:ARCH][=VERSION] FIELD: a field of a package in the current
# apt state (the candidate unless a version is given).
apt_field() {
    apt-cache "${APT_OPTS[@]}" show --no-all-versions "$1" 2>/dev/null | sed -n "s/^$2: //p" | head -1
}

# apt_fetch_all WANT...: downloads the packages (WANT is PKG:ARCH[=VERSION],
# the candidate when no version is given) that $CACHE/debs lacks, in one
# apt-get call; sets FETCHED to the paths of the .debs, in order.
apt_fetch_all() {
    local want pkg arch ver file missing=()
    FETCHED=()
    for want in "$@"; do
        pkg=${want%%:*}
        arch=${want#*:}
        arch=${arch%%=*}
        ver=
        [[ $want != *=* ]] || ver=${want#*=}
        [ -n "$ver" ] || ver=$(apt_field "$pkg:$arch" Version)
        [ -n "$ver" ] || { echo "apt: no package $pkg:$arch" >&2; return 1; }
        file=$CACHE/debs/${pkg}_${ver//:/%3a}_$arch.deb
        FETCHED+=("$file")
        [ -s "$file" ] || missing+=("$pkg:$arch=$ver")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    mkdir -p "$CACHE/debs"
    chmod 0777 "$CACHE/debs" 2>/dev/null || true # apt-get download runs as _apt
    (cd "$CACHE/debs" && apt-get "${APT_OPTS[@]}" -q download "${missing[@]}") >"$CACHE/debs/download.log" 2>&1 || {
        sed -n '/^E:\|^Err/p' "$CACHE/debs/download.log" >&2
        return 1
    }
}

# kernel_load NAME: sets the K_* variables from the kernel's descriptor.
kernel_load() {
    local env=$CACHE/k/$1/kernel.env
    [ -s "$env" ] || { echo "kernel $1: not prepared" >&2; return 1; }
    # shellcheck disable=SC1090
    source "$env"
}

# kernel_prepare NAME: fetches, extracts and describes one kernel of the
# matrix. The newest ABI of the series whose packages the archive serves
# wins (bullseye-security lists 686 packages it does not serve; the point
# release's then do). Runs sharing a cache take turns.
kernel_prepare() {
    mkdir -p "$CACHE/k"
    (flock 9 && kernel_prepare_locked "$1") 9>"$CACHE/k/.lock"
}
kernel_prepare_locked() {
    local name=$1 series=${1%-*} flavour=${1##*-} dir=$CACHE/k/$1
    local suite arch qemu meta mver hdr abi hver deps common kbuild gccver hdir
    local f_hdr f_common f_kbuild f_image
    if [ -s "$dir/kernel.env" ] && (kernel_load "$name" && [ -s "$K_VMLINUZ" ] && [ -d "$K_HEADERS" ] &&
        [ -s "$K_IMAGE_DEB" ] && [ -s "$K_BUSYBOX" ]); then
        return 0
    fi
    suite=$(kernel_suite "$series") || { echo "kernel $name: unknown series $series" >&2; return 1; }
    case $flavour in
    amd64) arch=amd64 qemu=qemu-system-x86_64 ;;
    686 | 686-pae) arch=i386 qemu=qemu-system-i386 ;;
    *) echo "kernel $name: unknown flavour $flavour" >&2; return 1 ;;
    esac
    apt_state "$suite" || return 1
    meta=linux-headers-$flavour:$arch
    abi=
    for mver in $(apt-cache "${APT_OPTS[@]}" madison "$meta" | awk -F' [|] ' '{ print $2 }'); do
        hdr=$( (apt_field "$meta=$mver" Depends | grep -o "linux-headers-[^ ,]*-$flavour" || true) | head -1)
        abi=${hdr#linux-headers-}
        abi=${abi%-"$flavour"}
        hver=$(apt_field "$hdr:$arch" Version)
        deps=$(apt_field "$hdr:$arch=$hver" Depends)
        # The flavour's headers name the common headers; the kbuild tools
        # (host programs: always amd64) are the same source version.
        common=linux-headers-$abi-common
        kbuild=$( (grep -o 'linux-kbuild-[^ ,]*' <<<"$deps$(apt_field "$common=$hver" Depends)" || true) | head -1)
        if apt_fetch_all "$hdr:$arch=$hver" "$common:all=$hver" "$kbuild:amd64=$hver" \
            "linux-image-$abi-$flavour:$arch=$hver"; then
            f_hdr=${FETCHED[0]} f_common=${FETCHED[1]} f_kbuild=${FETCHED[2]} f_image=${FETCHED[3]}
            break
        fi
        echo "kernel $name: $abi not served by the archive, trying an older one" >&2
        abi=
    done
    [ -n "$abi" ] || { echo "kernel $name: no complete kernel package set" >&2; return 1; }

    rm -rf "$dir"
    mkdir -p "$dir/root"
    local deb
    for deb in "$f_hdr" "$f_common" "$f_kbuild"; do
        dpkg-deb -x "$deb" "$dir/root" || return 1
    done
    hdir=$dir/root/usr/src/linux-headers-$abi-$flavour
    # The flavour's Makefile includes the common headers by absolute path.
    sed -i "s|^include /usr/src/|include $dir/root/usr/src/|" "$hdir/Makefile" || return 1
    # The compiler release the kernel was built with: "CC = ... gcc-10".
    gccver=$(sed -n 's/^CC = .*gcc-\([0-9][0-9]*\).*/\1/p' "$hdir/.kernelvariables" | head -1)
    # The image sits near the start of the package: stop reading there rather
    # than decompressing all its modules.
    { dpkg-deb --fsys-tarfile "$f_image" 2>/dev/null || true; } |
        tar -x --occurrence=1 -O "./boot/vmlinuz-$abi-$flavour" >"$dir/vmlinuz"
    [ -s "$dir/vmlinuz" ] || { echo "kernel $name: no vmlinuz in $f_image" >&2; return 1; }

    # The compiler the headers want, when the host lacks it: the release's
    # own gcc, extracted.
    local cc_dir=
    if [ -n "$gccver" ] && ! command -v "gcc-$gccver" >/dev/null; then
        cc_dir=$CACHE/cc/gcc-$gccver
        if [ ! -x "$cc_dir/usr/bin/gcc-$gccver" ]; then
            apt_fetch_all "gcc-$gccver:amd64" "g++-$gccver:amd64" "cpp-$gccver:amd64" \
                "gcc-$gccver-base:amd64" "libgcc-$gccver-dev:amd64" || return 1
            rm -rf "$cc_dir"
            mkdir -p "$cc_dir"
            for deb in "${FETCHED[@]}"; do dpkg-deb -x "$deb" "$cc_dir" || return 1; done
        fi
        cc_dir=$cc_dir/usr/bin
    fi

    # busybox of the kernel's architecture, from bookworm.
    local bb=$CACHE/busybox-$arch
    if [ ! -s "$bb" ]; then
        apt_state bookworm || return 1
        apt_fetch_all "busybox-static:$arch" || return 1
        dpkg-deb --fsys-tarfile "${FETCHED[0]}" | tar -x -O ./bin/busybox >"$bb.tmp" || return 1
        chmod 0755 "$bb.tmp"
        mv "$bb.tmp" "$bb"
    fi

    cat >"$dir/kernel.env" <<EOF
K_NAME=$name
K_SERIES=$series
K_FLAVOUR=$flavour
K_ARCH=$arch
K_ABI=$abi
K_KVER=$abi-$flavour
K_QEMU=$qemu
K_HEADERS=$hdir
K_IMAGE_DEB=$f_image
K_VMLINUZ=$dir/vmlinuz
K_CC_DIR=$cc_dir
K_BUSYBOX=$bb
EOF
}

# kernel_modules NAME: extracts the image's modules (once) and indexes them
# with the host's depmod; prints the root that holds lib/modules/<kver>.
kernel_modules() {
    kernel_load "$1" || return 1
    local root=$CACHE/k/$1/modules
    if [ ! -s "$root/lib/modules/$K_KVER/modules.dep" ]; then
        rm -rf "$root"
        mkdir -p "$root"
        dpkg-deb --fsys-tarfile "$K_IMAGE_DEB" | tar -x -C "$root" ./lib/modules || return 1
        depmod -b "$root" "$K_KVER" || return 1
    fi
    echo "$root"
}
