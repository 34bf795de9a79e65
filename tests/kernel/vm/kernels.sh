# SPDX-License-Identifier: GPL-2.0 OR MIT
# Debian's kernels of the test matrix, fetched from Debian's archive through a
# private apt state and extracted, never installed: sourced by vm-test.sh and
# the package test.
#
# A kernel is named SERIES-FLAVOUR: 5.10-amd64 5.10-686 5.10-arm64
# (bullseye), 6.1-amd64 6.1-686 6.1-arm64 (bookworm), 6.12-amd64 6.12-arm64
# (bookworm-backports; Debian has no 32-bit 6.12). kernel_prepare NAME
# fetches and extracts what the kernel needs and writes its descriptor;
# kernel_load NAME sets these variables:
#   K_NAME K_SERIES K_FLAVOUR  5.10-686, 5.10, 686
#   K_ARCH                     Debian architecture of the kernel (amd64, i386,
#                              arm64)
#   K_ABI K_KVER               5.10.0-32, 5.10.0-32-686 (uname -r)
#   K_QEMU                     qemu-system-x86_64 or qemu-system-i386, or the
#                              path of the extracted qemu-system-aarch64
#   K_HEADERS                  the extracted headers (a kernel build tree)
#   K_IMAGE_DEB                the linux-image .deb (its modules: kernel_modules)
#   K_VMLINUZ                  the kernel image
#   K_CC_DIR                   folder to put first on PATH for the compiler the
#                              headers want, empty when the host has it
#   K_CROSS                    CROSS_COMPILE for the kernel's architecture
#                              (aarch64-linux-gnu- for arm64), empty on x86
#   K_BUSYBOX                  static busybox of the kernel's architecture
#
# arm64 kernels are built on this amd64 host: their headers with the amd64
# kbuild tools of the same series, the cross compiler of the release the
# headers name (bookworm's gcc-12, bullseye's gcc-10) with bookworm's cross
# binutils, and booted by bookworm's qemu-system-aarch64, all extracted into
# the cache: installing the cross compilers would remove gcc-multilib,
# which the 32-bit build needs.
#
# Everything lives under $CACHE (QUORVIN_KMOD_CACHE, default
# /var/cache/quorvin-kmod): apt/<suite>/ (sources list, lists, apt cache),
# debs/, k/<name>/ (descriptor kernel.env, root/ with the extracted headers,
# vmlinuz, modules/), cc/gcc-<N>/, cc/gcc-<N>-aarch64/, qemu-arm/. A complete
# descriptor is reused without asking the network; delete k/<name> (or the
# cache) for newer kernels.

CACHE=${QUORVIN_KMOD_CACHE:-/var/cache/quorvin-kmod}
QUORVIN_KERNELS_ALL="5.10-amd64 5.10-686 6.1-amd64 6.1-686 6.12-amd64 5.10-arm64 6.1-arm64 6.12-arm64"
# The archive: its address, and how apt trusts it (a local test archive is
# unsigned and says trusted=yes). debian/ and debian-security/ sit under it.
DEBIAN_MIRROR=${QUORVIN_DEBIAN_MIRROR:-http://deb.debian.org}
DEBIAN_SOURCE_OPTS=${QUORVIN_DEBIAN_SOURCE_OPTS:-signed-by=/usr/share/keyrings/debian-archive-keyring.gpg}
# Seconds before a failed download is tried again.
APT_RETRY_DELAY=${QUORVIN_APT_RETRY_DELAY:-5}

# kernel_suite SERIES: the private apt state a series comes from.
kernel_suite() {
    case $1 in
    5.10) echo bullseye ;;
    6.1) echo bookworm ;;
    6.12) echo bookworm-backports ;;
    *) return 1 ;;
    esac
}

# apt_state SUITE [ARCH...]: creates (once) and refreshes (when older than an
# hour) the private apt state of SUITE for amd64 and the architectures named,
# and sets APT_OPTS to use it (APT_STATE is its folder). The machine's own
# sources, lists, cache and dpkg status are never read or written; i386 is
# known to this state only, so the machine needs no foreign architecture.
#
# One index that fails to download (a mirror caught mid-sync serves a
# Packages.xz whose size differs from its Release file's, for hours) makes
# apt ignore that whole suite, every architecture of it, and apt-get update
# exit 100. So a state asks only for the architectures its user needs, and
# goes on with the lists that did arrive: whether what a kernel needs
# resolves and downloads decides, not the exit status. The failed indexes
# are kept in $APT_STATE/failed-indexes for the messages that explain a
# replaced version; such a state is refreshed again after ten minutes.
# Fails, with the reason in APT_STATE_ERROR, only when no list at all is
# there.
apt_state() {
    local suite=$1 archs=amd64 arch dir
    shift
    for arch in "$@"; do [[ " $archs " == *" $arch "* ]] || archs+=" $arch"; done
    dir=$CACHE/apt/$suite/${archs// /+}
    APT_STATE=$dir APT_STATE_ERROR=
    APT_OPTS=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o Dir::State::status=/dev/null
        -o Acquire::Languages=none -o Acquire::Retries=3)
    for arch in $archs; do APT_OPTS+=(-o "APT::Architectures::=$arch"); done
    [ -z "$(find "$dir/updated" -mmin -60 2>/dev/null)" ] || return 0
    [ -z "$(find "$dir/updated-partly" -mmin -10 2>/dev/null)" ] || return 0
    rm -f "$dir/updated" "$dir/updated-partly"
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    local src="deb [$DEBIAN_SOURCE_OPTS] $DEBIAN_MIRROR"
    {
        case $suite in
        bullseye)
            echo "$src/debian bullseye main"
            echo "$src/debian-security bullseye-security main"
            ;;
        bookworm)
            echo "$src/debian bookworm main"
            echo "$src/debian bookworm-updates main"
            echo "$src/debian-security bookworm-security main"
            ;;
        bookworm-backports)
            echo "$src/debian bookworm-backports main"
            ;;
        trixie)
            echo "$src/debian trixie main"
            echo "$src/debian trixie-updates main"
            echo "$src/debian-security trixie-security main"
            ;;
        *)
            APT_STATE_ERROR="unknown suite $suite"
            echo "apt: $APT_STATE_ERROR" >&2
            return 1
            ;;
        esac
    } >"$dir/sources.list"
    # apt exits 100 on an index of the wrong size but 0 on one it could not
    # reach (a warning): its messages tell, not the exit status. The
    # failures, one a line, without the summary line that follows them.
    local rc=0
    apt-get "${APT_OPTS[@]}" -q update >"$dir/update.log" 2>&1 || rc=$?
    grep -E '^E: |^W: .*(Failed to fetch|Release file)' "$dir/update.log" | grep -v '^[EW]: Some index files failed' |
        sed -e 's/\[IP: [^]]*\]//' -e 's/^[EW]: //; s/  */ /g; s/ $//' >"$dir/failed-indexes" || true
    [ "$rc" = 0 ] || [ -s "$dir/failed-indexes" ] || tail -1 "$dir/update.log" >"$dir/failed-indexes"
    if [ ! -s "$dir/failed-indexes" ] && compgen -G "$dir/lists/*_Packages*" >/dev/null; then
        touch "$dir/updated"
        return 0
    fi
    if compgen -G "$dir/lists/*_Packages*" >/dev/null; then
        echo "apt $suite ($archs): going on with the lists that arrived; failed:" >&2
        sed 's/^/   /' "$dir/failed-indexes" >&2
        touch "$dir/updated-partly"
        return 0
    fi
    [ -s "$dir/failed-indexes" ] || echo "the archive has no index of $suite for $archs" >"$dir/failed-indexes"
    APT_STATE_ERROR="no package list of $suite ($archs) arrived: $(head -1 "$dir/failed-indexes")"
    echo "apt: $APT_STATE_ERROR" >&2
    return 1
}

# apt_index_note: for a message about something not found in the current
# state, the indexes that failed to download when it was last refreshed.
apt_index_note() {
    local f=$APT_STATE/failed-indexes
    [ -s "$f" ] || return 0
    echo " (index failed to download: $(paste -s -d ';' "$f" | sed 's/;/; /g'))"
}

# apt_field PKG[:ARCH][=VERSION] FIELD: a field of a package in the current
# apt state (the candidate unless a version is given).
apt_field() {
    apt-cache "${APT_OPTS[@]}" show --no-all-versions "$1" 2>/dev/null | sed -n "s/^$2: //p" | head -1
}

# apt_versions PKG:ARCH: the versions of a package the current state's
# indexes list, newest first.
apt_versions() {
    apt-cache "${APT_OPTS[@]}" madison "$1" 2>/dev/null | awk -F'|' '{ gsub(/ /, "", $2) } !seen[$2]++ { print $2 }'
}

# apt_download_why PKG:ARCH=VERSION: why apt-get download did not deliver
# it, from $CACHE/debs/download.log: "HTTP 404 (URL)" or apt's own words.
apt_download_why() {
    local want=$1 pkg arch ver line
    pkg=${want%%:*} arch=${want#*:} ver=${want#*=}
    arch=${arch%%=*}
    line=$(grep -F "/${pkg}_${ver#*:}_$arch.deb " "$CACHE/debs/download.log" | grep '^E: ' | tail -1 || true)
    [ -n "$line" ] || line=$(grep '^E: ' "$CACHE/debs/download.log" | tail -1 || true)
    line=$(sed -e 's/\[IP: [^]]*\]//' -e 's/  */ /g; s/ $//' <<<"$line")
    case $line in
    "E: Failed to fetch "*" 404 "*) echo "HTTP 404 ($(cut -d' ' -f5 <<<"$line"))" ;;
    "E: Failed to fetch "*) echo "download failed: ${line#E: Failed to fetch }" ;;
    "E: "*) echo "download failed: ${line#E: }" ;;
    *) echo "download failed" ;;
    esac
}

# apt_fetch_all WANT...: downloads the packages (WANT is PKG:ARCH[=VERSION],
# the candidate when no version is given) that $CACHE/debs lacks, in one
# apt-get call, tried again once after APT_RETRY_DELAY seconds; sets FETCHED
# to the paths of the .debs, in order. Nothing is downloaded unless every
# package is in the index. On failure APT_MISSING holds one line per
# package that could not be had, "PKG:ARCH=VERSION: why" (not in the index,
# HTTP 404, apt's error), and stderr says the same.
apt_fetch_all() {
    local want pkg arch ver file try missing=() left=()
    FETCHED=() APT_MISSING=()
    for want in "$@"; do
        pkg=${want%%:*}
        arch=${want#*:}
        arch=${arch%%=*}
        ver=
        [[ $want != *=* ]] || ver=${want#*=}
        if [ -z "$ver" ]; then
            ver=$(apt_field "$pkg:$arch" Version)
            [ -n "$ver" ] || { APT_MISSING+=("$pkg:$arch: in no index$(apt_index_note)"); continue; }
        elif [ -z "$(apt_field "$pkg:$arch=$ver" Version)" ]; then
            APT_MISSING+=("$pkg:$arch=$ver: not in the index$(apt_index_note)")
            continue
        fi
        file=$CACHE/debs/${pkg}_${ver//:/%3a}_$arch.deb
        FETCHED+=("$file")
        [ -s "$file" ] || missing+=("$pkg:$arch=$ver")
    done
    if [ ${#APT_MISSING[@]} -gt 0 ]; then
        printf 'apt: %s\n' "${APT_MISSING[@]}" >&2
        return 1
    fi
    [ ${#missing[@]} -gt 0 ] || return 0
    mkdir -p "$CACHE/debs"
    chmod 0777 "$CACHE/debs" 2>/dev/null || true # apt-get download runs as _apt
    for try in 1 2; do
        [ "$try" = 1 ] || sleep "$APT_RETRY_DELAY"
        (cd "$CACHE/debs" && apt-get "${APT_OPTS[@]}" -q download "${missing[@]}") >"$CACHE/debs/download.log" 2>&1 &&
            return 0
        # apt-get download keeps what did arrive: ask again for the rest.
        left=()
        for want in "${missing[@]}"; do
            pkg=${want%%:*} arch=${want#*:} ver=${want#*=}
            [ -s "$CACHE/debs/${pkg}_${ver//:/%3a}_${arch%%=*}.deb" ] || left+=("$want")
        done
        [ ${#left[@]} -gt 0 ] || return 0
        missing=("${left[@]}")
    done
    for want in "${missing[@]}"; do APT_MISSING+=("$want: $(apt_download_why "$want")"); done
    printf 'apt: %s\n' "${APT_MISSING[@]}" >&2
    return 1
}

# apt_fetch_newest PKG:ARCH: downloads the newest version of a package that
# the archive delivers (the candidate, else older versions the indexes
# list), saying which version was missing, why, and which one came instead;
# sets FETCHED (one path) or, on failure, APT_MISSING.
apt_fetch_newest() {
    local want=$1 v first='' why=''
    for v in $(apt_versions "$want"); do
        if apt_fetch_all "$want=$v" 2>/dev/null; then
            [ -z "$first" ] || echo "apt: $want=$first missing ($why); using $v instead" >&2
            return 0
        fi
        [ -n "$first" ] || { first=$v why=${APT_MISSING[0]#*: }; }
    done
    if [ -z "$first" ]; then
        APT_MISSING=("$want: in no index$(apt_index_note)")
    else
        APT_MISSING=("$want: no listed version could be downloaded; $first: $why")
    fi
    echo "apt: ${APT_MISSING[0]}" >&2
    return 1
}

# kernel_load NAME: sets the K_* variables from the kernel's descriptor.
kernel_load() {
    local env=$CACHE/k/$1/kernel.env
    [ -s "$env" ] || { echo "kernel $1: not prepared" >&2; return 1; }
    K_CROSS= # descriptors of x86 kernels may not name it
    # shellcheck disable=SC1090
    source "$env"
}

# kernel_prepare NAME: fetches, extracts and describes one kernel of the
# matrix. The newest ABI of the series whose packages the archive delivers
# wins: an ABI some package of which is not in the index or does not
# download (bullseye-security lists 686 packages it answers with 404) gives
# way to an older one, and the log says which package and version was
# missing, why, and what was used instead. The kbuild tools are host
# programs: when the headers' exact version of them is gone, another amd64
# version of the same series builds the headers as well. A kernel that
# cannot be had fails with a last line "kernel NAME: unavailable: REASON" on
# stderr. Runs sharing a cache take turns.
kernel_prepare() {
    mkdir -p "$CACHE/k"
    (flock 9 && kernel_prepare_locked "$1") 9>"$CACHE/k/.lock"
}
kernel_unavailable() { # kernel_unavailable NAME REASON
    echo "kernel $1: unavailable: $2" >&2
    return 1
}
kernel_prepare_locked() {
    local name=$1 series=${1%-*} flavour=${1##*-} dir=$CACHE/k/$1
    local suite arch qemu meta mvers mver hdr abi hver deps common kbuild kv kvers kbuild_why
    local gccver hdir skipped=() newest=
    local f_hdr f_common f_kbuild f_image
    if [ -s "$dir/kernel.env" ] && (kernel_load "$name" && [ -s "$K_VMLINUZ" ] && [ -d "$K_HEADERS" ] &&
        [ -s "$K_IMAGE_DEB" ] && [ -s "$K_BUSYBOX" ] &&
        { [ "$K_ARCH" != arm64 ] || { [ -x "$K_CC_DIR/${K_CROSS}ld" ] && [ -x "$K_QEMU" ]; }; }); then
        return 0
    fi
    suite=$(kernel_suite "$series") || { kernel_unavailable "$name" "unknown series $series"; return 1; }
    case $flavour in
    amd64) arch=amd64 qemu=qemu-system-x86_64 ;;
    686 | 686-pae) arch=i386 qemu=qemu-system-i386 ;;
    arm64) arch=arm64 qemu=qemu-system-aarch64 ;;
    *) kernel_unavailable "$name" "unknown flavour $flavour"; return 1 ;;
    esac
    apt_state "$suite" "$arch" || { kernel_unavailable "$name" "$APT_STATE_ERROR"; return 1; }
    meta=linux-headers-$flavour:$arch
    mvers=$(apt_versions "$meta")
    [ -n "$mvers" ] || { kernel_unavailable "$name" "$meta is in no index of $suite$(apt_index_note)"; return 1; }
    abi=
    for mver in $mvers; do
        hdr=$( (apt_field "$meta=$mver" Depends | grep -o "linux-headers-[^ ,]*-$flavour" || true) | head -1)
        abi=${hdr#linux-headers-}
        abi=${abi%-"$flavour"}
        [ -n "$newest" ] || newest="$abi ($mver)"
        hver=$(apt_field "$hdr:$arch" Version)
        if [ -z "$hver" ]; then
            skipped+=("ABI $abi: $hdr:$arch not in the index$(apt_index_note)")
            echo "kernel $name: ${skipped[-1]}; trying an older one" >&2
            abi=
            continue
        fi
        deps=$(apt_field "$hdr:$arch=$hver" Depends)
        # The flavour's headers name the common headers; the kbuild tools
        # (host programs: always amd64) are the same source version, or
        # failing that any other version of the series, newest first.
        common=linux-headers-$abi-common
        kbuild=$( (grep -o 'linux-kbuild-[^ ,]*' <<<"$deps$(apt_field "$common=$hver" Depends)" || true) | head -1)
        kvers=$(apt_versions "$kbuild:amd64")
        if grep -qx -F "$hver" <<<"$kvers"; then
            kvers=$(printf '%s\n' "$hver" "$kvers" | awk '!seen[$0]++')
            kbuild_why=
        else
            kbuild_why="$kbuild:amd64=$hver: not in the index$(apt_index_note)"
        fi
        f_hdr=
        for kv in $kvers; do
            if apt_fetch_all "$hdr:$arch=$hver" "$common:all=$hver" "linux-image-$abi-$flavour:$arch=$hver" \
                "$kbuild:amd64=$kv" 2>/dev/null; then
                f_hdr=${FETCHED[0]} f_common=${FETCHED[1]} f_image=${FETCHED[2]} f_kbuild=${FETCHED[3]}
                break
            fi
            # Only the kbuild tools missing: another version of them.
            if [ ${#APT_MISSING[@]} -eq 1 ] && [[ ${APT_MISSING[0]} == "$kbuild:amd64="* ]]; then
                [ -n "$kbuild_why" ] || kbuild_why=${APT_MISSING[0]}
                continue
            fi
            break
        done
        if [ -n "$f_hdr" ]; then
            [ -z "$kbuild_why" ] ||
                echo "kernel $name: $kbuild_why; using $kbuild:amd64=$kv instead (host tools of the same series)" >&2
            break
        fi
        if [ -z "$kvers" ]; then
            APT_MISSING=("$kbuild:amd64: in no index$(apt_index_note)")
        elif [ ${#APT_MISSING[@]} -eq 1 ] && [[ ${APT_MISSING[0]} == "$kbuild:amd64="* ]]; then
            APT_MISSING=("$kbuild:amd64: no listed version could be downloaded; $kbuild_why")
        fi
        skipped+=("ABI $abi ($hver): $(printf '%s; ' "${APT_MISSING[@]}" | sed 's/; $//')")
        echo "kernel $name: ${skipped[-1]}; trying an older one" >&2
        abi=
    done
    if [ -z "$abi" ]; then
        kernel_unavailable "$name" "no ABI of $suite delivers its packages; newest: ${skipped[0]#ABI }"
        return 1
    fi
    [ ${#skipped[@]} -eq 0 ] || echo "kernel $name: using ABI $abi ($hver) instead of $newest" >&2
    # Versions from an index that failed are not there to be skipped: say
    # that the newest ABI may be missing for that reason.
    [ ! -s "$APT_STATE/failed-indexes" ] ||
        echo "kernel $name: ABI $abi ($hver) is the newest in the lists that arrived$(apt_index_note)" >&2

    rm -rf "$dir"
    mkdir -p "$dir/root"
    local deb
    for deb in "$f_hdr" "$f_common" "$f_kbuild"; do
        dpkg-deb -x "$deb" "$dir/root" || { kernel_unavailable "$name" "cannot extract $deb"; return 1; }
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
    [ -s "$dir/vmlinuz" ] || { kernel_unavailable "$name" "no vmlinuz in $f_image"; return 1; }

    # The compiler the headers want, when the host lacks it: the release's
    # own gcc, extracted.
    local cc_dir='' cross=''
    if [ "$arch" = arm64 ]; then
        cross=aarch64-linux-gnu-
        cross_compiler "$name" "$suite" "$gccver" || return 1
        cc_dir=$CROSS_DIR
        qemu_aarch64 "$name" || return 1
        qemu=$QEMU_AARCH64
    elif [ -n "$gccver" ] && ! command -v "gcc-$gccver" >/dev/null; then
        cc_dir=$CACHE/cc/gcc-$gccver
        if [ ! -x "$cc_dir/usr/bin/gcc-$gccver" ]; then
            apt_fetch_all "gcc-$gccver:amd64" "g++-$gccver:amd64" "cpp-$gccver:amd64" \
                "gcc-$gccver-base:amd64" "libgcc-$gccver-dev:amd64" || {
                kernel_unavailable "$name" "compiler gcc-$gccver: ${APT_MISSING[*]}"
                return 1
            }
            rm -rf "$cc_dir"
            mkdir -p "$cc_dir"
            for deb in "${FETCHED[@]}"; do dpkg-deb -x "$deb" "$cc_dir" || return 1; done
        fi
        cc_dir=$cc_dir/usr/bin
    fi

    # busybox of the kernel's architecture, from bookworm.
    local bb=$CACHE/busybox-$arch
    if [ ! -s "$bb" ]; then
        apt_state bookworm "$arch" || { kernel_unavailable "$name" "busybox: $APT_STATE_ERROR"; return 1; }
        apt_fetch_newest "busybox-static:$arch" || { kernel_unavailable "$name" "busybox: ${APT_MISSING[0]}"; return 1; }
        dpkg-deb --fsys-tarfile "${FETCHED[0]}" | tar -x -O ./bin/busybox >"$bb.tmp" || {
            kernel_unavailable "$name" "no /bin/busybox in ${FETCHED[0]}"
            return 1
        }
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
K_CROSS=$cross
K_BUSYBOX=$bb
EOF
}

# cross_compiler NAME SUITE GCCVER: the aarch64 cross compiler gcc-GCCVER
# (gcc, g++ and cpp, gcc's own headers and libgcc, the C library and the
# kernel's uAPI headers for the user-space tools of the test VM) of the
# first of SUITE, bookworm whose indexes have it (bookworm-backports has
# none), with bookworm's cross binutils, extracted once into
# cc/gcc-GCCVER-aarch64/; sets CROSS_DIR to the folder of its programs.
cross_compiler() {
    local name=$1 suite=$2 v=$3 dir=$CACHE/cc/gcc-$3-aarch64 s deb wants=()
    CROSS_DIR=$dir/usr/bin
    [ ! -x "$CROSS_DIR/aarch64-linux-gnu-g++-$v" ] || [ ! -x "$CROSS_DIR/aarch64-linux-gnu-ld" ] || return 0
    [ -n "$v" ] || { kernel_unavailable "$name" "the headers name no gcc release"; return 1; }
    for s in "$suite" bookworm; do
        apt_state "$s" arm64 || continue
        [ -n "$(apt_field "gcc-$v-aarch64-linux-gnu:amd64" Version)" ] || continue
        wants=("gcc-$v-aarch64-linux-gnu:amd64" "g++-$v-aarch64-linux-gnu:amd64"
            "cpp-$v-aarch64-linux-gnu:amd64" "gcc-$v-aarch64-linux-gnu-base:amd64"
            "libgcc-$v-dev-arm64-cross:all" "libc6-arm64-cross:all" "libc6-dev-arm64-cross:all"
            "linux-libc-dev-arm64-cross:all")
        apt_fetch_all "${wants[@]}" || {
            kernel_unavailable "$name" "cross compiler gcc-$v ($s): ${APT_MISSING[*]}"
            return 1
        }
        wants=("${FETCHED[@]}")
        break
    done
    [ ${#wants[@]} -gt 0 ] || {
        kernel_unavailable "$name" "gcc-$v-aarch64-linux-gnu is in no index of $suite or bookworm"
        return 1
    }
    # The assembler and linker: bookworm's (they read gcc-10's output too).
    if ! { apt_state bookworm arm64 && apt_fetch_all binutils-aarch64-linux-gnu:amd64; }; then
        kernel_unavailable "$name" "cross binutils: ${APT_MISSING[*]:-$APT_STATE_ERROR}"
        return 1
    fi
    wants+=("${FETCHED[@]}")
    rm -rf "$dir"
    mkdir -p "$dir"
    for deb in "${wants[@]}"; do dpkg-deb -x "$deb" "$dir" || return 1; done
    # Extracted, the binutils do not find their own libbfd and libopcodes
    # (installed in the machine's library path): wrap each program so that
    # it does, under the name gcc runs it by as well.
    local lib prog real
    lib=$(dirname "$(find "$dir/usr/lib" -name 'libbfd*.so' | head -1)")
    for prog in "$dir"/usr/bin/aarch64-linux-gnu-*; do
        case ${prog##*/} in *-gcc* | *-g++* | *-cpp* | *-gcov* | *-lto-dump*) continue ;; esac
        [ ! -L "$prog" ] || prog=$(readlink -f "$prog")
        real=$dir/usr/libexec/quorvin-binutils/${prog##*/}
        [ -e "$real" ] && continue
        mkdir -p "${real%/*}"
        mv "$prog" "$real"
        # shellcheck disable=SC2016 # expanded by the wrapper, not here
        printf '#!/bin/sh\nLD_LIBRARY_PATH=%s${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} exec %s "$@"\n' \
            "$lib" "$real" >"$prog"
        chmod 0755 "$prog"
    done
}

# qemu_aarch64 NAME: qemu-system-aarch64 from bookworm's qemu-system-arm,
# extracted once into qemu-arm/ (the same version as the machine's qemu,
# whose libraries and data it uses, when the index has it); sets
# QEMU_AARCH64 to its path.
qemu_aarch64() {
    local dir=$CACHE/qemu-arm host_ver
    QEMU_AARCH64=$dir/usr/bin/qemu-system-aarch64
    [ ! -x "$QEMU_AARCH64" ] || return 0
    apt_state bookworm || { kernel_unavailable "$1" "qemu: $APT_STATE_ERROR"; return 1; }
    host_ver=$(dpkg-query -W -f '${Version}' qemu-system-common 2>/dev/null || true)
    if [ -z "$host_ver" ] || ! apt_fetch_all "qemu-system-arm:amd64=$host_ver" 2>/dev/null; then
        [ -z "$host_ver" ] || echo "kernel $1: qemu-system-arm $host_ver (the machine's qemu) not delivered; using the candidate" >&2
        apt_fetch_all qemu-system-arm:amd64 || {
            kernel_unavailable "$1" "qemu-system-arm: ${APT_MISSING[*]}"
            return 1
        }
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    dpkg-deb -x "${FETCHED[0]}" "$dir" || return 1
    [ -x "$QEMU_AARCH64" ] || { kernel_unavailable "$1" "no qemu-system-aarch64 in ${FETCHED[0]}"; return 1; }
    # It runs on the libraries the machine's qemu-system-x86 brought.
    "$QEMU_AARCH64" --version >/dev/null 2>&1 || {
        kernel_unavailable "$1" "qemu-system-aarch64 does not run here: $(ldd "$QEMU_AARCH64" 2>&1 |
            grep 'not found' | paste -sd' ' || true)"
        rm -rf "$dir"
        return 1
    }
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
