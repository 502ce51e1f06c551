#!/usr/bin/env bash
# Builds libsndfile and the codec libraries it reads and writes through (libogg, libvorbis,
# libFLAC, libopus, mpg123 and LAME, which libsndfile's MPEG support insists on) for
# x86_64-w64-mingw32, as static libraries, from Debian's source packages at pinned versions.
#
# Usage: cmake/build-mingw-deps.sh
#   Prints the install prefix (include/, lib/) on its last line of standard output.
#
# The result is cached outside the source tree, under a directory named for this script's
# hash, so it is built once per machine and again only when the script changes. Adding the
# deb-src lines apt-get needs takes root, once; after that any user can run it.
set -euo pipefail

triplet=x86_64-w64-mingw32
script_hash=$(sha256sum "$0" | cut -c1-16)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/trackloom-mingw-deps/$script_hash
prefix=$cache/prefix

if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
# Build trees configured side by side may call this at once; one builds, the others wait.
mkdir -p "$cache"
exec 9>"$cache.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

# Source package, version, and the SHA-256 of each file the version consists of. apt checks
# the files against the archive's signed index as well; these pin the exact bytes.
packages=(
    "libogg 1.3.5-3"
    "libvorbis 1.3.7-1"
    "flac 1.4.2+ds-2"
    "opus 1.3.1-3"
    "mpg123 1.31.2-1+deb12u1"
    "lame 3.100-6"
    "libsndfile 1.2.0-1+deb12u1"
)
checksums="
c4d91be36fc8e54deae7575241e03f4211eb102afb3fc0775fbbc1b740016705  libogg_1.3.5.orig.tar.xz
980cc7c95d72d2a9c56cf9d602b8296c6551528890f28fee6769b801ea0e54f3  libogg_1.3.5-3.debian.tar.xz
0e982409a9c3fc82ee06e08205b1355e5c6aa4c36bca58146ef399621b0ce5ab  libvorbis_1.3.7.orig.tar.gz
c5c40944a3fc1cdd1ce019ef21f580ce5ed3b9f30e0cba7b3d859e8d9fea631f  libvorbis_1.3.7-1.debian.tar.xz
47274ac8fcb1f0e6caa91d29f943925d7a40c0a3f6357c3275773bdb1ee46638  flac_1.4.2+ds.orig.tar.xz
8e3132e8e4a6e459c5a360c8a7e85c2aa6e2a0612687ef124ff65bcae82e90d8  flac_1.4.2+ds-2.debian.tar.xz
65b58e1e25b2a114157014736a3d9dfeaad8d41be1c8179866f144a2fb44ff9d  opus_1.3.1.orig.tar.gz
f4a145f0d5b9140106396fc0b0c515b1c3abd59f2aa5fb62b36b69886aa411bc  opus_1.3.1-3.debian.tar.xz
b17f22905e31f43b6b401dfdf6a71ed11bb7d056f68db449d70b9f9ae839c7de  mpg123_1.31.2.orig.tar.bz2
9fc7eeeb4be67525fb7901022955b646832f095499612672ad7c24a1b3303599  mpg123_1.31.2-1+deb12u1.debian.tar.xz
ddfe36cab873794038ae2c1210557ad34857a4b6bdc515785d1da9e175b1da1e  lame_3.100.orig.tar.gz
35c6af528d139737c8beede450ad99fe0c1f1764455d23321038b5c4a2b4574c  lame_3.100-6.debian.tar.xz
62dc4e2bcd45f6f0e89cbc3522cc90eb174dca0eef0a0d19ead289833b390cd7  libsndfile_1.2.0.orig.tar.gz
77b8c1c5fc6d110f08535ccb76f65c284a441e544a0698e3dee65c5bda882eee  libsndfile_1.2.0-1+deb12u1.debian.tar.xz
"

log() { echo "build-mingw-deps: $*" >&2; }
die() {
    log "$*"
    exit 1
}

command -v "$triplet-gcc-posix" >/dev/null || die "$triplet-gcc-posix not found (Debian package gcc-mingw-w64-x86-64)"
command -v make >/dev/null || die "make not found"

# apt-get source needs the archive's source indexes.
if ! apt-cache showsrc libsndfile 2>/dev/null | grep -q '^Version: 1.2.0-1+deb12u1$'; then
    [ "$(id -u)" -eq 0 ] || die "no deb-src lines for bookworm; run this once as root to add them"
    log "adding deb-src lines for bookworm"
    cat >/etc/apt/sources.list.d/trackloom-src.sources <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update -qq >&2
fi

work=$(mktemp -d "$cache/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"

# Fetch. apt-get may report a detached signature the mirror no longer carries (mpg123's
# upstream .asc); what counts is that every file below is there with the pinned hash.
(
    cd "$work/src"
    for entry in "${packages[@]}"; do
        set -- $entry
        log "fetching $1 $2"
        apt-get source --download-only -qq "$1=$2" >&2 2>"$work/apt-$1.log" || true
    done
    echo "$checksums" | sed '/^$/d' | sha256sum --check --strict --quiet >&2 \
        || die "a source archive is missing or does not match its pinned checksum"
)

# Unpacks upstream's archive, lays Debian's packaging over it and applies Debian's patches,
# as dpkg-source would.
unpack() {  # unpack SOURCE UPSTREAM_VERSION DEBIAN_VERSION
    local dir=$work/build/$1 patchfile
    mkdir -p "$dir"
    tar -xf "$work/src/$(ls "$work/src" | grep -F "$1_$2.orig.tar.")" -C "$dir" --strip-components=1
    tar -xf "$work/src/$1_$3.debian.tar.xz" -C "$dir"
    [ -f "$dir/debian/patches/series" ] || return 0
    for patchfile in $(sed -e 's/#.*//' "$dir/debian/patches/series"); do
        patch -d "$dir" -p1 --batch --forward --quiet <"$dir/debian/patches/$patchfile" >&2 \
            || die "$1: Debian's patch $patchfile does not apply"
    done
}

export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=
# Static libFLAC: its headers must not ask for DLL imports.
export CPPFLAGS="-I$prefix/include -DFLAC__NO_DLL"
export LDFLAGS="-L$prefix/lib"
# No stack protector or fortified sources where a build lets us choose: with MinGW both want
# libssp at link time. Opus fortifies its sources regardless, so the program links libssp.
export CFLAGS="-O2 -fno-stack-protector -U_FORTIFY_SOURCE"
export CXXFLAGS=$CFLAGS
jobs=$(nproc 2>/dev/null || echo 2)
common=(--host="$triplet" --prefix="$prefix" --enable-static --disable-shared)
export CC=$triplet-gcc-posix CXX=$triplet-g++-posix AR=$triplet-ar RANLIB=$triplet-ranlib

build() {  # build SOURCE UPSTREAM_VERSION DEBIAN_VERSION CONFIGURE_ARGS...
    local source=$1 dir
    log "building $source"
    unpack "$1" "$2" "$3"
    dir=$work/build/$source
    shift 3
    (
        cd "$dir"
        # Archives that carry no generated configure script get one.
        [ -x configure ] || autoreconf -fi >&2
        ./configure "${common[@]}" "$@" >"$work/configure-$source.log" 2>&1 \
            || { tail -40 "$work/configure-$source.log" >&2; exit 1; }
        make -j "$jobs" ${make_targets:-} >"$work/make-$source.log" 2>&1 \
            || { tail -40 "$work/make-$source.log" >&2; exit 1; }
        make ${install_targets:-install} >"$work/install-$source.log" 2>&1 \
            || { tail -40 "$work/install-$source.log" >&2; exit 1; }
    ) || die "$source failed to build"
}

rm -rf "$prefix"
build libogg 1.3.5 1.3.5-3
build libvorbis 1.3.7 1.3.7-1 --disable-docs --disable-examples --disable-oggtest
build flac 1.4.2+ds 1.4.2+ds-2 --disable-programs --disable-examples --disable-cpplibs \
    --disable-doxygen-docs --disable-xmms-plugin --disable-oggtest --disable-stack-smash-protection
build opus 1.3.1 1.3.1-3 --disable-doc --disable-extra-programs --disable-stack-protector
build mpg123 1.31.2 1.31.2-1+deb12u1 --disable-components --enable-libmpg123 --with-default-audio=dummy
build lame 3.100 3.100-6 --disable-frontend --disable-decoder --disable-gtktest
# The library alone: its test programs are generated by a tool (autogen) not needed here.
make_targets=src/libsndfile.la \
    install_targets="install-libLTLIBRARIES install-includeHEADERS install-pkgconfigDATA" \
    build libsndfile 1.2.0 1.2.0-1+deb12u1 --disable-sqlite --disable-alsa --disable-full-suite \
    --enable-external-libs --enable-mpeg

# libsndfile drops a codec it cannot find without failing; a library missing one is no use.
grep -q '^#define HAVE_EXTERNAL_XIPH_LIBS 1' "$work/build/libsndfile/src/config.h" \
    || die "libsndfile was built without Ogg, Vorbis, FLAC and Opus"
grep -q '^#define HAVE_MPEG 1' "$work/build/libsndfile/src/config.h" \
    || die "libsndfile was built without MP3"

touch "$prefix/.complete"
log "done"
echo "$prefix"
