# Sourced by the scripts that build or test in a clean Debian chroot: the
# mirror as this machine's apt sources name it, the chroots made with
# mmdebstrap and cached as tarballs, and running a script in one without
# installing anything on this machine.
#   suite_sources SUITE       mmdebstrap's mirror lines for SUITE
#   ensure_chroot SUITE NAME ARCHES PACKAGES [OPTION...]
#                             prints the path of the cached tarball
#   build_chroot SUITE        the tarball that the packages are built in
#   in_chroot TARBALL BIND [ARG...] < SCRIPT
#                             runs the sh SCRIPT with its arguments in a
#                             fresh copy of TARBALL (see below)
# Needs scripts/deps.sh sourced first.

# The chroots and the compiler cache live outside the clone, so that a new
# clone (CI's) reuses them.
if [ -z "${BRIGHTNESS_CACHE:-}" ]; then
    if [ "$(id -u)" -eq 0 ]; then BRIGHTNESS_CACHE=/var/cache/brightness
    else BRIGHTNESS_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/brightness; fi
fi

# suite_number SUITE: the Debian release number of SUITE; fails for a suite
# this project does not build for.
suite_number() {
    case $1 in
    bookworm) echo 12 ;;
    trixie) echo 13 ;;
    *) echo "unknown suite: $1 (bookworm or trixie)" >&2; return 1 ;;
    esac
}

# The codename of this machine's release, which its apt sources name.
host_codename() {
    (. /etc/os-release && echo "$VERSION_CODENAME")
}

# suite_sources SUITE: one line "deb URI SUITE[-x] COMPONENTS" for each
# enabled deb source of this machine whose suite is this release or one of
# its -updates/-security, with only the release's name changed.
suite_sources() {
    host=$(host_codename)
    {
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            awk 'function flush() {
                    if (types ~ /(^| )deb( |$)/ && enabled != "no")
                        for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++)
                            print uris[u], suites[s], comps
                    types = ""; enabled = ""; nu = 0; ns = 0; comps = ""
                 }
                 /^[ \t]*#/ { next }
                 /^[ \t]*$/ { flush(); next }
                 { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "") }
                 key == "types" { types = $0 }
                 key == "enabled" { enabled = tolower($0) }
                 key == "uris" { nu = split($0, uris, " ") }
                 key == "suites" { ns = split($0, suites, " ") }
                 key == "components" { comps = $0 }
                 END { flush() }' "$f"
        done
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -f "$f" ] || continue
            # deb [options] URI SUITE COMPONENT...
            sed -n 's/^[ \t]*deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?//p' "$f" | awk '{ u = $1; s = $2; $1 = ""; $2 = ""; sub(/^ +/, ""); print u, s, $0 }'
        done
    } | awk -v host="$host" -v suite="$1" '
        $2 == host || index($2, host "-") == 1 || index($2, host "/") == 1 {
            rest = substr($2, length(host) + 1)
            comps = $0; sub(/^[^ ]+ [^ ]+ ?/, "", comps)
            print "deb " $1 " " suite rest " " (comps == "" ? "main" : comps)
        }'
}

# release_files SUITE DIR: each InRelease of SUITE's sources into DIR; fails
# when one cannot be fetched (the mirror is out of reach).
release_files() {
    i=0
    suite_sources "$1" | while read -r _ uri dist _; do
        i=$((i + 1))
        /usr/lib/apt/apt-helper -qq download-file "${uri%/}/dists/$dist/InRelease" "$2/$i.InRelease" >/dev/null 2>&1 \
            || { echo "chroot.sh: cannot fetch ${uri%/}/dists/$dist/InRelease" >&2; return 1; }
    done
}

# ensure_chroot SUITE NAME ARCHES PACKAGES [OPTION...]: a chroot of SUITE
# (variant buildd unless an OPTION says otherwise) for the comma-separated
# ARCHES (the first native) with PACKAGES (comma-separated) and whatever
# the further mmdebstrap OPTIONs (hooks) add, as a tarball
# under $BRIGHTNESS_CACHE. It is kept while the suite's package lists
# (InRelease) and the recipe stay the same, and made anew when either
# changes; NAME tells one recipe's tarballs from another's.
ensure_chroot() {
    suite=$1; name=$2; arches=$3; packages=$4; shift 4
    mkdir -p "$BRIGHTNESS_CACHE"
    key_dir=$(mktemp -d)
    sources=$(suite_sources "$suite")
    [ -n "$sources" ] || { echo "chroot.sh: no Debian source for $(host_codename) in /etc/apt/sources*" >&2; rm -rf "$key_dir"; return 1; }
    release_files "$suite" "$key_dir" || { rm -rf "$key_dir"; return 1; }
    key=$( { echo "$sources"; echo "$arches $packages"; printf '%s\n' "$@"; cat "$key_dir"/*.InRelease; } \
        | sha256sum | cut -c1-16)
    rm -rf "$key_dir"
    tarball="$BRIGHTNESS_CACHE/$name-$suite-$key.tar"
    # One maker at a time for each chroot, whichever clone asks (fd 8 is
    # closed again below).
    exec 8> "$BRIGHTNESS_CACHE/$name-$suite.lock"
    flock 8
    if [ ! -f "$tarball" ]; then
        echo "chroot.sh: making the $suite chroot $tarball" >&2
        log="$BRIGHTNESS_CACHE/$name-$suite.log"
        # A mirror caught mid-sync serves indices that do not match its
        # Release file for a minute or so: tried again before giving up.
        attempt=1
        until echo "$sources" | mmdebstrap --mode=unshare --variant=buildd --format=tar --architectures="$arches" \
                --include="$packages" --aptopt='APT::Install-Recommends "false"' \
                "$@" --customize-hook='chroot "$1" apt-get clean' \
                "$suite" "$tarball.part" - > "$log" 2>&1 8>&- 9>&-; do
            rm -f "$tarball.part"
            # An update or security suite whose index stays broken is left
            # out: the release's own packages still make a chroot that builds.
            broken=$(sed -n 's|^E: Failed to fetch .*/dists/\([^/ ]*\)/.*|\1|p' "$log" | sort -u | grep -v "^$suite\$" || true)
            if [ "$attempt" -ge 2 ] && [ -n "$broken" ] && grep -q 'Mirror sync in progress\|Hash Sum mismatch\|unexpected size' "$log"; then
                for dist in $broken; do
                    echo "chroot.sh: $dist stays broken on the mirror; the $suite chroot is made without it" >&2
                    sources=$(echo "$sources" | awk -v d="$dist" '$3 != d')
                done
                attempt=$((attempt + 1))
                continue
            fi
            if [ "$attempt" -ge 3 ] || ! grep -q 'Mirror sync in progress\|Hash Sum mismatch\|unexpected size' "$log"; then
                tail -n 40 "$log" >&2; echo "chroot.sh: mmdebstrap failed (log: $log)" >&2
                # The last chroot made stands in while the mirror cannot
                # make a new one: older package lists, but a build.
                for old in "$BRIGHTNESS_CACHE/$name-$suite"-*.tar; do
                    [ -f "$old" ] || continue
                    echo "chroot.sh: using the previous $suite chroot $old instead" >&2
                    exec 8>&-
                    echo "$old"
                    return 0
                done
                exec 8>&-; return 1
            fi
            echo "chroot.sh: the mirror is being synced; trying again in 30 s" >&2
            attempt=$((attempt + 1))
            sleep 30
        done
        mv "$tarball.part" "$tarball"
        # The tarballs of older package lists go.
        for old in "$BRIGHTNESS_CACHE/$name-$suite"-*.tar; do
            [ "$old" = "$tarball" ] || rm -f "$old"
        done
    fi
    exec 8>&-
    echo "$tarball"
}

# in_chroot TARBALL BIND [ARG...] < SCRIPT: the sh SCRIPT run with its arguments
# as root in a fresh copy of TARBALL, unpacked on a tmpfs in mount, PID,
# UTS and IPC namespaces of its own (a user namespace too when not run as
# root), with this machine's /dev, a new /proc, and the directory BIND at
# /build; $BRIGHTNESS_CACHE/ccache is /ccache, and the directory
# $CHROOT_APT_ARCHIVES, when set, apt's cache of downloaded packages.
# Everything but those goes with the namespaces.
in_chroot() {
    tarball=$1; bind=$2; shift 2
    mkdir -p "$BRIGHTNESS_CACHE/ccache" "$bind" ${CHROOT_APT_ARCHIVES:+"$CHROOT_APT_ARCHIVES/partial"}
    mmdebstrap --unshare-helper sh -c '
        set -eu
        tarball=$1; bind=$2; ccache=$3; archives=$4; shift 4
        root=$(mktemp -d)
        mount -t tmpfs -o mode=755 chroot "$root"
        tar -C "$root" -xf "$tarball"
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mkdir -p "$root/build" "$root/ccache"
        mount --bind "$bind" "$root/build"
        mount --bind "$ccache" "$root/ccache"
        [ -z "$archives" ] || mount --bind "$archives" "$root/var/cache/apt/archives"
        cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
            CCACHE_DIR=/ccache sh -s "$@"
    ' sh "$tarball" "$bind" "$BRIGHTNESS_CACHE/ccache" "${CHROOT_APT_ARCHIVES:-}" "$@" 8>&- 9>&-
}

# build_chroot SUITE: the suite's chroot with the Build-Depends of
# debian/control for every architecture of $PACKAGE_ARCHES (the foreign
# ones with their cross compiler); on trixie also qemu-user and tzdata,
# for the armhf build's tests under emulation (tests/packaging/check-time64.sh).
build_chroot() {
    for_suite=$1
    native=$(dpkg --print-architecture)
    all=$native; foreign=""; packages="ccache"
    for a in $PACKAGE_ARCHES; do
        [ "$a" = "$native" ] && continue
        all="$all,$a"; foreign="$foreign $a"; packages="$packages,crossbuild-essential-$a"
    done
    [ "$for_suite" != trixie ] || packages="$packages,qemu-user,tzdata"
    # The recipe names debian/control by its contents, not by the clone's
    # path, so that every clone shares the chroot.
    control=$(sha256sum < "$ROOT/debian/control" | cut -c1-16)
    mkdir -p "$BRIGHTNESS_CACHE"
    cp "$ROOT/debian/control" "$BRIGHTNESS_CACHE/control-$control"
    set -- --customize-hook='mkdir -p "$1/tmp/deps/debian"' \
        --customize-hook="upload $BRIGHTNESS_CACHE/control-$control /tmp/deps/debian/control" \
        --customize-hook="chroot \"\$1\" apt-get build-dep -y -qq /tmp/deps"
    for a in $foreign; do
        set -- "$@" --customize-hook="chroot \"\$1\" apt-get build-dep -y -qq -a $a /tmp/deps"
    done
    ensure_chroot "$for_suite" build "$all" "$packages" "$@" --customize-hook='rm -rf "$1/tmp/deps"'
}
