#!/bin/sh
# Makes a signed apt repository, with apt-ftparchive, from the packages that
# scripts/package.sh left in a directory (default dist/): for each suite
# there (dist/bookworm, dist/trixie), the binary packages of each
# architecture and the source package.
#   scripts/apt-repo.sh -k SECRET_KEY [-d DIST_DIR] [-s SUITE]... OUT_DIR
# SECRET_KEY: a file with the OpenPGP secret key that signs the repository
# (gpg --export-secret-keys, without a passphrase); it is imported into a
# keyring of this run's own, which is removed at the end.
# SUITE: only these suites (default: every suite directory in DIST_DIR).
# OUT_DIR, made anew, is what is published:
#   pool/SUITE/main/              the suite's .deb, .dsc and .tar.xz files
#   dists/SUITE/main/binary-ARCH/Packages(.gz), source/Sources(.gz)
#   dists/SUITE/InRelease, Release, Release.gpg
#   brightness-archive-keyring.gpg   the public key, for Signed-By
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"
. "$ROOT/scripts/chroot.sh"

key=""; dist="$ROOT/dist"; suites=""
usage() { echo "usage: $0 -k SECRET_KEY [-d DIST_DIR] [-s SUITE]... OUT_DIR" >&2; exit 2; }
while getopts k:d:s: opt; do
    case $opt in
    k) key=$OPTARG ;;
    d) dist=$OPTARG ;;
    s) suites="$suites $OPTARG" ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] && [ -n "$key" ] || usage
[ -r "$key" ] || { echo "apt-repo.sh: cannot read the key $key" >&2; exit 1; }
out=$1
dist=$(cd "$dist" && pwd)

ensure_packages apt-utils gnupg

gnupg=$(mktemp -d)
trap 'rm -rf "$gnupg"' EXIT INT TERM
gpg() { command gpg --homedir "$gnupg" --batch --quiet "$@"; }
gpg --import "$key"
fpr=$(gpg --list-secret-keys --with-colons | awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$fpr" ] || { echo "apt-repo.sh: no secret key in $key" >&2; exit 1; }

if [ -z "$suites" ]; then
    for d in "$dist"/*/; do
        [ -d "$d" ] && suite_number "$(basename "$d")" >/dev/null 2>&1 && suites="$suites $(basename "$d")"
    done
fi
[ -n "$suites" ] || { echo "apt-repo.sh: no suite's packages in $dist" >&2; exit 1; }

rm -rf "$out"
out=$(mkdir -p "$out" && cd "$out" && pwd)
for suite in $suites; do
    pool="pool/$suite/main"
    mkdir -p "$out/$pool"
    found=""
    for f in "$dist/$suite"/*.deb "$dist/$suite"/*.dsc "$dist/$suite"/*.tar.*; do
        [ -f "$f" ] || continue
        cp "$f" "$out/$pool/"
        found=1
    done
    [ -n "$found" ] || { echo "apt-repo.sh: no packages in $dist/$suite" >&2; exit 1; }
    arches=$(cd "$out/$pool" && ls *.deb | sed 's/.*_\([^_]*\)\.deb$/\1/' | grep -vx all | LC_ALL=C sort -u | tr '\n' ' ')

    cd "$out"
    d="dists/$suite/main"
    for arch in $arches; do
        mkdir -p "$d/binary-$arch"
        apt-ftparchive --arch "$arch" packages "$pool" > "$d/binary-$arch/Packages"
        gzip -9n < "$d/binary-$arch/Packages" > "$d/binary-$arch/Packages.gz"
    done
    mkdir -p "$d/source"
    apt-ftparchive sources "$pool" > "$d/source/Sources"
    gzip -9n < "$d/source/Sources" > "$d/source/Sources.gz"
    apt-ftparchive -o APT::FTPArchive::Release::Origin=brightness \
        -o APT::FTPArchive::Release::Label=brightness \
        -o APT::FTPArchive::Release::Suite="$suite" -o APT::FTPArchive::Release::Codename="$suite" \
        -o APT::FTPArchive::Release::Architectures="${arches% }" \
        -o APT::FTPArchive::Release::Components=main \
        -o APT::FTPArchive::Release::Description="brightness: USB display backlight tools" \
        release "dists/$suite" > "$gnupg/Release"
    mv "$gnupg/Release" "dists/$suite/Release"
    gpg --local-user "$fpr" --clearsign --output "dists/$suite/InRelease" "dists/$suite/Release"
    gpg --local-user "$fpr" --armor --detach-sign --output "dists/$suite/Release.gpg" "dists/$suite/Release"
    echo "apt-repo.sh: $out: $suite main, ${arches% }, signed by $fpr"
done
gpg --export "$fpr" > "$out/brightness-archive-keyring.gpg"
