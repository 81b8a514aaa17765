#!/usr/bin/env bash
# Fetches Debian's source packages of the Windows decoders, checks them and unpacks them, once.
#
# Usage: debian-sources.sh CACHE_DIR
# Leaves each package's tree, Debian's patches applied, in CACHE_DIR/src/NAME, and lists what it
# unpacked in CACHE_DIR/unpacked.txt; when that list is already the one wanted, does nothing. Runs
# apt with a private configuration of its own under CACHE_DIR: no root needed, the system's package
# sources and lists untouched.
set -euo pipefail

# The exact versions the Linux build links, so that a later mirror update changes nothing here.
PINS=(
    libogg=1.3.5-3
    libvorbis=1.3.7-1
    opus=1.3.1-3
    opusfile=0.12-4
    flac=1.4.2+ds-2
    mpg123=1.31.2-1+deb12u1
)

if [[ $# != 1 ]]; then
    echo "usage: debian-sources.sh CACHE_DIR" >&2
    exit 2
fi
cache="$(mkdir -p "$1" && cd "$1" && pwd)"
apt_dir="$cache/apt"
downloads="$cache/downloads"
unpacked="$cache/unpacked.txt"

fail() {
    echo "debian-sources: $*" >&2
    exit 1
}

# Two builds at once (one per preset) take turns: the second finds the work done.
take_lock() {
    exec 9>"$cache/.lock"
    flock 9
}

# True when the trees of exactly these versions are all there already.
already_unpacked() {
    [[ -f "$unpacked" && "$(cat "$unpacked")" == "$(printf '%s\n' "${PINS[@]}")" ]] || return 1
    local pin
    for pin in "${PINS[@]}"; do
        [[ -d "$cache/src/${pin%%=*}" ]] || return 1
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

# Every file of the pinned packages with its SHA-256, as apt knows them from the signed indexes:
# "FILE HASH" lines. Asked for in an empty folder, since apt leaves out files already present.
list_files() {
    local empty
    empty="$(mktemp -d)"
    # shellcheck disable=SC2046
    (cd "$empty" && LC_ALL=C apt-get -q $(apt_options) source --print-uris "${PINS[@]}") \
        > "$cache/uris.txt" || { rm -rf "$empty"; fail "apt-get cannot find ${PINS[*]}"; }
    rm -rf "$empty"
    sed -nE "s/^'[^']*' ([^ ]+) [0-9]+ SHA256:([0-9a-f]{64})\$/\1 \2/p" "$cache/uris.txt" \
        > "$cache/files.txt"
    [[ $(grep -c '\.dsc ' "$cache/files.txt") == "${#PINS[@]}" ]] ||
        fail "apt-get source --print-uris did not list one .dsc per package; see $cache/uris.txt"
}

# Downloads them. apt's own failure is weighed by check_downloads: the mirror lacks the upstream
# signature of mpg123's tarball, and apt-get then fails although everything else arrived.
download() {
    mkdir -p "$downloads"
    # shellcheck disable=SC2046
    (cd "$downloads" && LC_ALL=C apt-get -q $(apt_options) source --download-only "${PINS[@]}") \
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
        dsc="$downloads/${name}_${version#*:}.dsc"
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
echo "debian-sources: fetching ${PINS[*]} into $cache"
rm -f "$unpacked"
update_lists
list_files
download
check_downloads
unpack
printf '%s\n' "${PINS[@]}" > "$unpacked"
