#!/bin/sh
# scripts/apt-repo.sh makes a repository that apt trusts through Signed-By
# alone: a throw-away key is made, the repository is built from DIST_DIR and
# added to a private apt root (its own sources, keys, lists and cache; this
# machine's dpkg status only read, for the dependencies) in deb822 form.
# `apt-get update` must accept it and `apt-get install --download-only`
# fetch both packages of each architecture; tampered copies (an index
# changed under the signature, a package swapped, a stranger's signature)
# must be refused.
# Usage: check-apt-repo.sh DIST_DIR VERSION SOURCE_DIR WORK_DIR
set -eu
dist=$(cd "$1" && pwd); version=$2; src=$3; work=$4
. "$(dirname "$0")/lib.sh"
lock_dist "$dist"

rm -rf "$work"; mkdir -p "$work"
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

# apt_root NAME REPO: a private apt root for REPO, trusting the archive key
# (copy: as file:, but the packages are fetched into the cache).
apt_root() {
    r="$work/apt-$1"
    mkdir -p "$r/etc/apt/sources.list.d" "$r/etc/apt/trusted.gpg.d" "$r/etc/apt/preferences.d" "$r/etc/apt/apt.conf.d" \
        "$r/var/lib/apt/lists/partial" "$r/var/cache/apt/archives/partial"
    cat > "$r/etc/apt/sources.list.d/brightness.sources" <<SOURCES
Types: deb
URIs: copy:$2
Suites: bookworm
Components: main
Signed-By: $work/archive.pub
SOURCES
    cat > "$r/apt.conf" <<CONF
Dir "$r/";
Dir::State::status "/var/lib/dpkg/status";
Dir::Etc::main "/dev/null";
Debug::NoLocking "true";
APT::Sandbox::User "root";
CONF
}
# apt NAME ARGS...: apt-get in the private root NAME, output in NAME.log.
apt() {
    name=$1; shift
    APT_CONFIG="$work/apt-$name/apt.conf" apt-get -q "$@" > "$work/$name.log" 2>&1
}

apt_root good "$work/repo"
apt good update || fail "apt-get update refused the repository: $(grep -E '^(E|W):' "$work/good.log")"
grep -q '^W:' "$work/good.log" && fail "apt-get update warned: $(grep '^W:' "$work/good.log")"
for arch in amd64 armhf arm64; do
    apt good install --download-only -y --no-install-recommends "brightness:$arch" "brightness-tools:$arch" \
        || { fail "apt-get install $arch: $(grep -E '^(E|W):' "$work/good.log")"; continue; }
    for pkg in brightness brightness-tools; do
        cmp -s "$work/apt-good/var/cache/apt/archives/${pkg}_${version}_$arch.deb" "$dist/${pkg}_${version}_$arch.deb" \
            || fail "apt-get did not fetch ${pkg}_${version}_$arch.deb"
    done
done

# Each tampered copy: NAME, what is done to it, and the step that must fail
# (update or install).
while IFS='|' read -r name step change; do
    cp -a "$work/repo" "$work/repo-$name"
    (cd "$work/repo-$name" && eval "$change") || fail "$name: the repository could not be changed"
    apt_root "$name" "$work/repo-$name"
    if apt "$name" update && { [ "$step" = update ] || apt "$name" install --download-only -y "brightness:amd64"; }; then
        fail "$name: apt-get $step accepted the tampered repository"
    fi
    echo "$name: refused: $(grep -E '^E:' "$work/$name.log" | head -n 1)"
done <<'TABLE'
index-changed|update|sed -i 's/^Version: '"$version"'$/Version: 9.9.9/' dists/bookworm/main/binary-amd64/Packages && sed -i "s/[0-9a-f]* *[0-9]* main\/binary-amd64\/Packages$/$(sha256sum dists/bookworm/main/binary-amd64/Packages | cut -d' ' -f1) $(stat -c %s dists/bookworm/main/binary-amd64/Packages) main\/binary-amd64\/Packages/" dists/bookworm/InRelease
package-swapped|install|cp pool/main/brightness_"$version"_armhf.deb pool/main/brightness_"$version"_amd64.deb
stranger-signed|update|"$src/scripts/apt-repo.sh" -k "$work/stranger.sec" -d "$dist" "$work/repo-$name" > /dev/null 2>&1
TABLE

finish
