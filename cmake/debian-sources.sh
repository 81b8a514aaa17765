#!/usr/bin/env bash
# Fetches Debian's source packages of the Windows decoders, checks them and unpacks them, once.
#
# Usage: debian-sources.sh CACHE_DIR
# Takes the revisions that the package index of the machine's own release holds (its updates and
# security fixes included): those its Linux libraries are built from, so that BASS.dll decodes to
# the samples of the Linux build on the same machine. Leaves each package's tree, Debian's patches
# applied, in CACHE_DIR/src/NAME, and "NAME VERSION" lines in CACHE_DIR/versions.txt, which the
# release zip carries. Once a tree of every package is there it does nothing (no network needed);
# remove CACHE_DIR to take a newer revision. Runs apt with a private configuration under
# CACHE_DIR: no root needed, the system's package sources and lists untouched.
set -euo pipefail

PACKAGES=(libogg libvorbis opus opusfile flac mpg123)

if [[ $# != 1 ]]; then
    echo "usage: debian-sources.sh CACHE_DIR" >&2
    exit 2
fi
cache="$(mkdir -p "$1" && cd "$1" && pwd)"
apt_dir="$cache/apt"
downloads="$cache/downloads"
versions="$cache/versions.txt"

fail() {
    echo "debian-sources: $*" >&2
    exit 1
}

# Two builds at once (one per preset) take turns: the second finds the work done.
take_lock() {
    exec 9>"$cache/.lock"
    flock 9
}

# True when a tree of every package is there already, with its version recorded.
already_unpacked() {
    [[ -f "$versions" ]] || return 1
    local name
    for name in "${PACKAGES[@]}"; do
        [[ -d "$cache/src/$name" ]] && grep -q "^$name " "$versions" || return 1
    done
}

# The machine's deb822 sources, made to offer source packages.
copy_deb822_sources() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$file" ]] || continue
        sed -E 's/^[Tt]ypes:.*/Types: deb-src/' "$file" > "$apt_dir/parts/$(basename "$file")"
    done
}

# The machine's one-line sources, each "deb" line as a "deb-src" line; duplicates dropped, since
# apt warns about a source given twice.
copy_one_line_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f "$file" ]] || continue
        sed -nE 's/^[[:space:]]*deb(-src)?([[:space:]])/deb-src\2/p' "$file" | sort -u \
            > "$apt_dir/parts/one-line-$(basename "$file" .list).list"
    done
}

# apt's options for the private configuration. As root, apt would hand downloads to its "_apt"
# user, who cannot write in the cache: the sandbox user is root instead.
apt_options() {
    echo -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/parts" \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
        -o Debug::NoLocking=1 -o APT::Sandbox::User=root
}

update_lists() {
    rm -rf "$apt_dir/parts"
    mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    copy_deb822_sources
    copy_one_line_sources
    # shellcheck disable=SC2046 # the options are words without spaces
    LC_ALL=C apt-get -q $(apt_options) update || fail "apt-get update failed"
}

# Every file of the packages' newest revisions with its SHA-256, as apt knows them from the signed
# indexes: "FILE HASH" lines; and PINS, each package as NAME=VERSION. Asked for in an empty
# folder, since apt leaves out files already present.
list_files() {
    local empty name dsc
    empty="$(mktemp -d)"
    : > "$cache/uris.txt"
    PINS=()
    for name in "${PACKAGES[@]}"; do
        # shellcheck disable=SC2046
        (cd "$empty" && LC_ALL=C apt-get -q $(apt_options) source --print-uris "$name") \
            >> "$cache/uris.txt" 2> "$cache/uris.err" || {
            cat "$cache/uris.err" >&2
            rm -rf "$empty"
            fail "the source package $name cannot be had from this machine's package sources" \
                "(each of /etc/apt/sources.list* read as deb-src)"
        }
        dsc="$(sed -nE "s/^'[^']*' ${name}_([^ ]+)\.dsc .*/\1/p" "$cache/uris.txt")"
        [[ -n "$dsc" ]] || fail "apt-get source --print-uris $name listed no .dsc; see $cache/uris.txt"
        PINS+=("$name=$dsc")
    done
    rm -rf "$empty"
    sed -nE "s/^'[^']*' ([^ ]+) [0-9]+ SHA256:([0-9a-f]{64})\$/\1 \2/p" "$cache/uris.txt" \
        > "$cache/files.txt"
}

# Says so where the Linux library the tests compare with comes from another revision than the
# index now holds (a system not upgraded yet): the samples may then differ.
compare_with_linux_libraries() {
    local pin name installed
    for pin in "${PINS[@]}"; do
        name="${pin%%=*}"
        installed="$(dpkg-query -W -f='${source:Package} ${source:Version}\n' 2> /dev/null |
            awk -v name="$name" '$1 == name { version = $2 } END { print version }')"
        if [[ -n "$installed" && "${installed#*:}" != "${pin#*=}" ]]; then
            echo "debian-sources: $name: the index holds ${pin#*=}, the installed Linux" \
                "libraries are of $installed (apt-get upgrade makes them the same)" >&2
        fi
    done
}

# Downloads them. apt's own failure is weighed by check_downloads: the mirror lacks the upstream
# signature of mpg123's tarball, and apt-get then fails although everything else arrived.
download() {
    mkdir -p "$downloads"
    # shellcheck disable=SC2046
    (cd "$downloads" && LC_ALL=C apt-get -q $(apt_options) source --download-only "${PACKAGES[@]}") \
        > "$cache/download.log" 2>&1 || true
}

# Every listed file arrived with its hash, except upstream signatures (.asc), whose absence is
# allowed and recorded in missing.txt. Anything else missing or altered stops the build.
check_downloads() {
    local name hash
    : > "$cache/missing.txt"
    while read -r name hash; do
        if [[ -f "$downloads/$name" ]]; then
            echo "$hash  $downloads/$name" | sha256sum --check --quiet --strict ||
                fail "$name does not match its SHA-256 in Debian's index"
        elif [[ "$name" == *.asc ]]; then
            echo "$name" >> "$cache/missing.txt"
        else
            cat "$cache/download.log" >&2
            fail "$name could not be downloaded"
        fi
    done < "$cache/files.txt"
}

# A copy of a .dsc without the entries of missing upstream signatures, so that dpkg-source still
# checks every file that is there. The copy is unsigned: the original was checked against the
# signed index above, and its signature would no longer fit the shortened text. Prints its path.
dsc_without_missing() {
    local dsc="$1" copy="${1%.dsc}.without-asc.dsc"
    sed -e '1,/^$/{/^-----BEGIN PGP SIGNED MESSAGE-----$/,/^$/d}' \
        -e '/^-----BEGIN PGP SIGNATURE-----$/,$d' "$dsc" |
        awk 'NR == FNR { missing[$0] = 1; next } !(/^ / && $NF in missing)' \
            "$cache/missing.txt" - > "$copy"
    echo "$copy"
}

# Each package unpacked with Debian's patches into a fresh folder, then moved into place.
unpack() {
    local pin name version dsc
    rm -rf "$cache/src" "$cache/unpacking"
    mkdir -p "$cache/unpacking"
    for pin in "${PINS[@]}"; do
        name="${pin%%=*}"
        version="${pin#*=}"
        dsc="$downloads/${name}_${version}.dsc"
        [[ -f "$dsc" ]] || fail "$dsc is missing"
        if [[ -s "$cache/missing.txt" ]] && grep -qFf "$cache/missing.txt" "$dsc"; then
            dsc="$(dsc_without_missing "$dsc")"
        fi
        # Quiet unless it fails: it warns of every uploader's key it lacks, and trust comes from
        # apt's signed index instead.
        LC_ALL=C dpkg-source --no-copy -x "$dsc" "$cache/unpacking/$name" \
            > "$cache/unpack-$name.log" 2>&1 ||
            { cat "$cache/unpack-$name.log" >&2; fail "dpkg-source could not unpack $dsc"; }
    done
    mv "$cache/unpacking" "$cache/src"
}

take_lock
if already_unpacked; then
    exit 0
fi
rm -f "$versions"
update_lists
list_files
echo "debian-sources: fetching ${PINS[*]} into $cache"
compare_with_linux_libraries
download
check_downloads
unpack
{
    echo "Debian's source packages built into BASS.dll, from $(. /etc/os-release && echo "$PRETTY_NAME"):"
    for pin in "${PINS[@]}"; do
        echo "${pin%%=*} ${pin#*=}"
    done
} > "$versions"
