#!/bin/sh
# scripts/apt-repo.sh makes one repository with a suite for each release in
# DIST_DIR (dist/bookworm, dist/trixie) that apt trusts through Signed-By
# alone; a throw-away key signs it.
# - In a private apt root here (its own sources, keys, lists, cache and an
#   empty dpkg status) `apt-get update` accepts each suite and `apt-get
#   download` fetches both packages of each architecture as built; tampered
#   copies (an index that apt fetches changed under the signature, a package
#   swapped, a stranger's signature) are refused for that reason.
# - In a clean chroot of each suite (cached, scripts/chroot.sh), the
#   README's install lines run as written, the repository's address made
#   this one: the stanza takes the suite from /etc/os-release and apt
#   installs the suite's packages; then the lines for downloaded package
#   files, and on trixie those for building on the Pi in a copy of the tree.
#   Against the suite's own package lists, the packages of every other
#   architecture resolve on a system of that architecture alone.
# Usage: check-apt-repo.sh DIST_DIR VERSION SOURCE_DIR WORK_DIR
# VERSION is the release without the suite (1.1.0).
set -eu
dist=$(cd "$1" && pwd); upstream=$2; src=$(cd "$3" && pwd); work=$4
. "$(dirname "$0")/lib.sh"
ROOT=$src
. "$src/scripts/deps.sh"
. "$src/scripts/chroot.sh"
lock_dist "$dist"

native=$(dpkg --print-architecture)
suites=""
for suite in $PACKAGE_SUITES; do
    if [ -d "$dist/$suite" ]; then suites="$suites $suite"; else fail "$dist/$suite is missing"; fi
done
[ -n "$suites" ] || finish
version_of() { echo "$upstream~deb$(suite_number "$1")u1"; }

rm -rf "$work"; mkdir -p "$work"
work=$(cd "$work" && pwd)
# key NAME: a throw-away signing key; secret key in NAME.sec, public in NAME.pub.
key() {
    home="$work/gnupg-$1"
    mkdir -m 700 "$home"
    gpg --homedir "$home" --batch --quiet --passphrase '' \
        --quick-gen-key "brightness $1 <$1@example.invalid>" ed25519 sign never 2>/dev/null
    gpg --homedir "$home" --batch --export-secret-keys > "$work/$1.sec"
    gpg --homedir "$home" --batch --export > "$work/$1.pub"
}
key archive
key stranger

"$src/scripts/apt-repo.sh" -k "$work/archive.sec" -d "$dist" "$work/repo" > "$work/repo.log" 2>&1 \
    || { cat "$work/repo.log" >&2; fail "apt-repo.sh failed"; finish; }
cmp -s "$work/repo/brightness-archive-keyring.gpg" "$work/archive.pub" \
    || fail "the published keyring is not the signing key's public key"

# apt_root NAME REPO SUITE: a private apt root for SUITE of REPO, trusting
# the archive key (copy: as file:, but the packages are fetched).
apt_root() {
    r="$work/apt-$1"
    mkdir -p "$r/etc/apt/sources.list.d" "$r/etc/apt/trusted.gpg.d" "$r/etc/apt/preferences.d" "$r/etc/apt/apt.conf.d" \
        "$r/var/lib/apt/lists/partial" "$r/var/cache/apt/archives/partial" "$r/get"
    : > "$r/status"
    cat > "$r/etc/apt/sources.list.d/brightness.sources" <<SOURCES
Types: deb
URIs: copy:$2
Suites: $3
Components: main
Signed-By: $work/archive.pub
SOURCES
    cat > "$r/apt.conf" <<CONF
Dir "$r/";
Dir::State::status "$r/status";
Dir::Etc::main "/dev/null";
APT::Architectures { "$native"; "armhf"; "arm64"; };
Debug::NoLocking "true";
APT::Sandbox::User "root";
CONF
}
# apt NAME ARGS...: apt-get in the private root NAME (in its get/), output
# in NAME.log.
apt() {
    name=$1; shift
    (cd "$work/apt-$name/get" && APT_CONFIG="$work/apt-$name/apt.conf" apt-get -q "$@") > "$work/$name.log" 2>&1
}

for suite in $suites; do
    version=$(version_of "$suite")
    apt_root "good-$suite" "$work/repo" "$suite"
    apt "good-$suite" update || fail "$suite: apt-get update refused the repository: $(grep -E '^(E|W):' "$work/good-$suite.log")"
    grep -q '^W:' "$work/good-$suite.log" && fail "$suite: apt-get update warned: $(grep '^W:' "$work/good-$suite.log")"
    for arch in amd64 armhf arm64; do
        for pkg in brightness brightness-tools; do
            file=${pkg}_${version}_$arch.deb
            apt "good-$suite" download "$pkg:$arch" || { fail "$suite: apt-get download $pkg:$arch: $(grep -E '^(E|W):' "$work/good-$suite.log")"; continue; }
            cmp -s "$work/apt-good-$suite/get/$file" "$dist/$suite/$file" || fail "$suite: apt-get did not fetch $file as built"
        done
    done
done

# Each tampered copy of the trixie suite, fields apart by #: NAME, the step
# that must fail (update or download), what apt must say (an extended
# regular expression), and what is done to it. apt fetches Packages.gz,
# never the uncompressed Packages; both are changed.
suite=trixie
version=$(version_of $suite)
index=dists/$suite/main/binary-amd64/Packages
while IFS='#' read -r name step says change; do
    cp -a "$work/repo" "$work/repo-$name"
    (cd "$work/repo-$name" && eval "$change") || fail "$name: the repository could not be changed"
    apt_root "$name" "$work/repo-$name" $suite
    if apt "$name" update && { [ "$step" = update ] || apt "$name" download "brightness:amd64"; }; then
        fail "$name: apt-get $step accepted the tampered repository"
    elif ! grep -Eq "$says" "$work/$name.log"; then
        fail "$name: refused, but not because $says: $(grep -E '^E:' "$work/$name.log" | head -n 1)"
    else
        echo "$name: refused: $(grep -E '^E:' "$work/$name.log" | head -n 1)"
    fi
done <<TABLE
index-changed#update#Hash Sum mismatch|unexpected size#for f in $index $index.gz; do gzip -dcf \$f | sed 's/^Version: $version\$/Version: 9.9.9/' > \$f.new; done && mv $index.new $index && gzip -9n < $index.gz.new > $index.gz && ! cmp -s $index $work/repo/$index
package-swapped#download#Hash Sum mismatch|unexpected size#cp pool/$suite/main/brightness_${version}_armhf.deb pool/$suite/main/brightness_${version}_amd64.deb
stranger-signed#update#NO_PUBKEY#"$src/scripts/apt-repo.sh" -k "$work/stranger.sec" -d "$dist" "$work/repo-\$name" > /dev/null 2>&1
TABLE

# readme_lines HEADING: the first indented block after the README's
# paragraph that starts with HEADING, unindented.
readme_lines() {
    awk -v h="$1" 'index($0, h) == 1 { on = 1; next }
        on && /^    / { sub(/^    /, ""); print; seen = 1; next }
        on && seen { exit }' "$src/README.md"
}
readme_lines "**From the project's apt repository**" > "$work/readme-repo.sh"
readme_lines "**From downloaded package files**" > "$work/readme-files.sh"
readme_lines "**Built on the Pi itself**" > "$work/readme-build.sh"
for f in readme-repo.sh readme-files.sh readme-build.sh; do
    [ -s "$work/$f" ] || fail "README: no lines for $f"
done
grep -q '^REPO=' "$work/readme-repo.sh" || fail "README: the repository's lines set no REPO"

# The tree that the lines for building on the Pi run in.
mkdir -p "$work/tree"
tar -C "$src" --exclude=./.git --exclude='./build*' --exclude=./dist --exclude='./obj-*' -cf - . | tar -xf - -C "$work/tree"

try_chroot() {
    ensure_chroot "$1" try "$native,armhf,arm64" "sudo,curl,ca-certificates" --variant=apt --skip=cleanup/apt/lists
}
# Missing chroots are made side by side: mostly a wait on the mirror.
for suite in $suites; do try_chroot "$suite" >/dev/null & done
wait
for suite in $suites; do
    version=$(version_of "$suite")
    tarball=$(try_chroot "$suite") || { fail "$suite: no chroot"; continue; }
    echo "== $suite: the README's lines in a $suite chroot"
    # Building on the Pi, for Raspberry Pi OS's current release only: a
    # compile, with ccache.
    build=""
    [ "$suite" != trixie ] || build=1
    if ! CHROOT_APT_ARCHIVES="$BRIGHTNESS_CACHE/apt-try-$suite" in_chroot "$tarball" "$work" "$suite" "$version" "$native" "$build" \
            > "$work/chroot-$suite.log" 2>&1 <<'CHROOT'
set -eu
suite=$1; version=$2; native=$3; build=$4
installed() {
    for pkg in brightness brightness-tools; do
        v=$(dpkg-query -W -f='${Version}' "$pkg")
        [ "$v" = "$version" ] || { echo "FAIL: $1: $pkg $v installed, not $version"; exit 1; }
    done
    echo "$1: brightness and brightness-tools $version installed"
}
# The person at the terminal answers apt's question with yes.
echo 'APT::Get::Assume-Yes "true";' > /etc/apt/apt.conf.d/90yes
# A user's machine of this architecture alone: the others' lists are
# fetched apart below.
printf 'APT::Architectures { "%s"; };\n' "$native" > /etc/apt/apt.conf.d/91native
sed 's|^REPO=.*|REPO=file:///build/repo|' /build/readme-repo.sh > /tmp/repo.sh
sh -eux /tmp/repo.sh
grep -qx "Suites: $suite" /etc/apt/sources.list.d/brightness.sources \
    || { echo "FAIL: the stanza does not name $suite"; exit 1; }
installed "from the repository"
brightness-ctl --help > /dev/null
# Every other architecture's packages on a system of that architecture
# alone, against this suite's lists.
: > /tmp/empty-status
for arch in amd64 armhf arm64; do
    [ "$arch" != "$native" ] || continue
    lists="/tmp/lists-$arch"
    mkdir -p "$lists/partial"
    set -- -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o Dir::State::Lists="$lists"
    # A mirror caught mid-sync may refuse one index (-security's, say):
    # the suite's own lists still answer.
    apt-get -q "$@" update > "/tmp/update-$arch" 2>&1 \
        || grep -q 'Mirror sync in progress\|Hash Sum mismatch\|unexpected size' "/tmp/update-$arch" \
        || { cat "/tmp/update-$arch"; echo "FAIL: $arch: apt-get update failed"; exit 1; }
    apt-get -s -q "$@" \
        -o Dir::State::status=/tmp/empty-status install brightness brightness-tools > "/tmp/sim-$arch" 2>&1 \
        || { cat "/tmp/sim-$arch"; echo "FAIL: $arch: does not resolve"; exit 1; }
    for pkg in brightness brightness-tools; do
        grep -q "^Inst $pkg ($version .*\[$arch\])" "/tmp/sim-$arch" \
            || { cat "/tmp/sim-$arch"; echo "FAIL: $arch: $pkg $version is not what apt installs"; exit 1; }
    done
    echo "$arch: resolves: $(grep -c '^Inst ' "/tmp/sim-$arch") packages, Qt core as $(sed -n 's/^Inst \(libqt5core5[a-z0-9]*\) .*/\1/p' "/tmp/sim-$arch")"
done
apt-get purge -y -q brightness brightness-tools > /dev/null
mkdir /tmp/files
cp "/build/repo/pool/$suite/main/brightness-tools_${version}_$native.deb" "/build/repo/pool/$suite/main/brightness_${version}_$native.deb" /tmp/files/
cd /tmp/files
sed "s/[0-9.]*~deb[0-9]*u[0-9]*_arm64/${version}_$native/g" /build/readme-files.sh > /tmp/files.sh
sh -eux /tmp/files.sh
installed "from the files"
[ -n "$build" ] || exit 0
apt-get install -y -q ccache > /dev/null
cp -a /build/tree /tmp/brightness
cd /tmp/brightness
CCACHE_DIR=/ccache CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache \
    DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" sh -eux /build/readme-build.sh
version=${version%%~*}
installed "built here"
CHROOT
    then
        tail -n 30 "$work/chroot-$suite.log" >&2
        fail "$suite: the README's lines failed in the chroot (log: $work/chroot-$suite.log)"
    else
        grep -E 'installed$|resolves:' "$work/chroot-$suite.log" || true
    fi
done

finish
