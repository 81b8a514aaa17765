# The Debian packages each job needs, and the one routine that installs those missing; sourced.

# To build the Linux program (its unit tests are part of the same build).
BUILD_PACKAGES=(cmake make g++ pkg-config libgtest-dev
    libmpg123-dev libvorbis-dev libopusfile-dev libflac-dev libsndfile1-dev
    libpulse-dev libasound2-dev)

# To cross-build the Windows programs, on top of the build's packages: mingw-w64 (its C++
# compilers bring the C ones), and what fetches Debian's sources of the decoders (apt, flock),
# unpacks them (dpkg-source, xz, bzip2) and runs their own configure scripts.
WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 dpkg-dev xz-utils bzip2 file util-linux)

# To play the chime and report what arrived; a server of our own only where none answers.
DEMO_PACKAGES=(pulseaudio-utils python3-numpy python3-soundfile python3-matplotlib)
DEMO_SERVER_PACKAGES=(pulseaudio)

# To build the guest that runs the x86 release (tests/vm/), boot it and read its disk.
VM_PACKAGES=(qemu-system-x86 debootstrap e2fsprogs)

# The release this machine runs, as "ID VERSION_ID" of its os-release ("debian 12", "debian 13",
# "ubuntu 24.04"; "debian " for testing and unstable). PLAYONCE_OS_RELEASE names another file.
os_release() {
    (. "${PLAYONCE_OS_RELEASE:-/etc/os-release}" && echo "${ID:-} ${VERSION_ID:-}")
}

# The test packages whose names differ between releases; every other name is the same in Debian
# 12 and 13 (and in the Ubuntu that shares 13's). Debian 12's unicorn still imports distutils,
# which Python 3.12 and later have not got, so no later release has the package.
release_test_packages() {
    case "$(os_release)" in
    "debian 12") echo python3-distutils ;;
    esac
}

# Everything the tests of every build need, the Windows cross-builds and the package included.
# libclang-rt-dev is the sanitizers' runtime of the release's own clang (14 in 12, 19 in 13).
TEST_PACKAGES=("${BUILD_PACKAGES[@]}" "${WINDOWS_BUILD_PACKAGES[@]}" "${DEMO_PACKAGES[@]}"
    "${DEMO_SERVER_PACKAGES[@]}" "${VM_PACKAGES[@]}" $(release_test_packages)
    googletest
    python3 python3-pefile python3-unicorn python3-pkg-resources
    valgrind strace ffmpeg wine64 wine clang libclang-rt-dev
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    gstreamer1.0-plugins-ugly sound-theme-freedesktop
    libasound2-plugins alsa-utils pipewire pipewire-bin pipewire-pulse wireplumber dbus
    lintian man-db
    llvm)  # llvm-symbolizer: the sanitizers name frames with it, and the suppressions match names

# The named packages that are not installed, one per line.
missing_packages() {
    local package
    for package in "$@"; do
        if [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null)" != ii* ]]; then
            echo "$package"
        fi
    done
}

# How apt-get runs here: as root itself, else through sudo; fails when neither is possible.
privilege_prefix() {
    if [[ "$(id -u)" == 0 ]]; then
        return 0
    fi
    if command -v sudo >/dev/null 2>&1; then
        echo sudo
        return 0
    fi
    return 1
}

# Installs those of the named packages that are missing, and only those. Says what it installs;
# stops with a message naming them where it cannot (no root and no sudo, no way to the package
# mirror, a held package). apt-get downloads everything before it unpacks anything and refuses
# to change a held package under -y, so a failure leaves the system as it was.
install_missing_packages() {
    local missing prefix
    mapfile -t missing < <(missing_packages "$@")
    if [[ ${#missing[@]} == 0 ]]; then
        return 0
    fi
    if ! prefix="$(privilege_prefix)"; then
        echo "playonce setup: needs the Debian packages ${missing[*]}," \
            "but is neither root nor able to use sudo: install them as root and run this again" >&2
        return 1
    fi
    echo "playonce setup: installing ${missing[*]}"
    local apt=($prefix env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
    if ! "${apt[@]}" update ||
        ! "${apt[@]}" install -y --no-install-recommends "${missing[@]}"; then
        echo "playonce setup: could not install ${missing[*]} (is the package mirror" \
            "reachable? is one of them held?); nothing else was changed" >&2
        return 1
    fi
}

# Holds the checkout's lock for the rest of the calling script, so that two runs at once take
# turns at the packages and the build instead of writing the same files together.
take_checkout_lock() {
    local root="$1"
    mkdir -p "$root/build"
    exec 9>"$root/build/.lock"
    if ! flock -n 9; then
        echo "playonce setup: another run in $root is under way; waiting for it to end" >&2
        flock 9
    fi
}
