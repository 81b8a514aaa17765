#!/usr/bin/env bash
# Cross-builds the reference decoders as static mingw-w64 libraries for one Windows target.
#
# Usage: windows-decoders.sh TRIPLE SOURCES_DIR OUT_DIR
#   TRIPLE       i686-w64-mingw32 or x86_64-w64-mingw32
#   SOURCES_DIR  the unpacked Debian trees (debian-sources.sh): SOURCES_DIR/NAME
#   OUT_DIR      receives include/ and lib/ (headers, lib*.a, pkg-config files); builds in
#                OUT_DIR/build, one folder per package, the Debian trees left untouched.
# Each package is built by its own build system, the library parts only. Their output is meant to
# be the same samples as Debian's own libraries on amd64 give, so the options follow each
# package's debian/rules wherever they touch decoding.
set -euo pipefail

if [[ $# != 3 ]]; then
    echo "usage: windows-decoders.sh TRIPLE SOURCES_DIR OUT_DIR" >&2
    exit 2
fi
triple="$1"
sources="$(cd "$2" && pwd)"
out="$(mkdir -p "$3" && cd "$3" && pwd)"
work="$out/build"
jobs="$(nproc)"

# BASS.dll links with --gc-sections and keeps only what it calls: hence a section per function,
# and no unwind tables, as in the DLL's own code (the linker keeps every function that has an
# x86-64 unwind entry). No -g, no stack protector, no fortify: both would need mingw's libssp.
# opus adds -D_FORTIFY_SOURCE=2 unless it finds the macro defined already, hence the explicit 0.
flags="-O2 -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables"
cppflags="-D_FORTIFY_SOURCE=0"
case "$triple" in
i686-*)
    # Any SSE2 processor, SSE arithmetic rather than the x87's (the same results as x86-64),
    # and the stack realigned, since Windows promises only 4-byte alignment on x86. Where a
    # package asks for -ffast-math (libvorbis, mpg123), GCC regroups sums of floats at most
    # 2 wide on i686 and 4 wide on x86-64: mpg123's synthesis then adds its products in
    # another order and a few samples round the other way. At x86-64's width the code sums as
    # Debian's amd64 library does.
    flags="$flags -msse2 -mfpmath=sse -mstackrealign --param tree-reassoc-width=4"
    ;;
x86_64-*) ;;
*)
    echo "windows-decoders: unknown target $triple" >&2
    exit 1
    ;;
esac

fail() {
    echo "windows-decoders: $*" >&2
    exit 1
}

# Runs a step of one package with its output in a log, shown only when the step fails.
logged() {
    local log="$1"
    shift
    "$@" >> "$log" 2>&1 || { tail -n 60 "$log" >&2; fail "failed: $* (whole log: $log)"; }
}

# Configures one package in its own build folder. An explicit --build makes it a cross build
# even where binfmt_misc would run Windows programs through Wine. pkg-config sees only what was
# installed here: never the machine's own Linux libraries.
configure_package() {
    local name="$1"
    shift
    rm -rf "${work:?}/${name:?}"
    mkdir -p "$work/$name"
    echo "windows-decoders: $triple: $name"
    (cd "$work/$name" && logged "$work/$name.log" env -u MAKEFLAGS \
        PKG_CONFIG=pkg-config PKG_CONFIG_LIBDIR="$out/lib/pkgconfig" PKG_CONFIG_PATH= \
        "$sources/$name/configure" --build="$(gcc -dumpmachine)" --host="$triple" \
        --prefix="$out" --enable-static --disable-shared --disable-dependency-tracking \
        CC="$triple-gcc" CFLAGS="$flags" CPPFLAGS="$cppflags" "$@")
}

# make in one folder of a package's build, with its own jobs: this runs inside CMake's build,
# whose make would otherwise lend it a jobserver it does not share.
build() {
    local name="$1" dir="$2"
    shift 2
    logged "$work/$name.log" env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL \
        make -C "$work/$name/$dir" -j"$jobs" "$@"
}

# The first of the named files that exists (else the last, for install to name it missing).
first_of() {
    local file
    for file in "$@"; do
        [[ -e "$file" ]] && break
    done
    echo "$file"
}

install_files() {
    local to="$1"
    shift
    mkdir -p "$to"
    install -m 644 "$@" "$to"
}

libogg() {
    configure_package libogg
    build libogg src libogg.la
    build libogg include install
    install_files "$out/lib" "$work/libogg/src/.libs/libogg.a"
    install_files "$out/lib/pkgconfig" "$work/libogg/ogg.pc"
}

# Debian passes only --enable-static --with-pic, but libvorbis picks its compiler options by
# system: on Linux they include -ffast-math, for mingw not. The float code of Debian's amd64
# library is what is matched, so the Linux choice is added here (the x86 build gets the same).
# Building in lib/ and include/ alone keeps make away from test/, whose Makefile.am Debian's
# patch touches (it would want automake again).
libvorbis() {
    configure_package libvorbis --disable-docs --disable-examples --disable-oggtest \
        CFLAGS="-ffast-math -D_REENTRANT $flags"
    build libvorbis lib libvorbis.la libvorbisfile.la
    build libvorbis include install
    install_files "$out/lib" "$work/libvorbis/lib/.libs/libvorbis.a" \
        "$work/libvorbis/lib/.libs/libvorbisfile.a"
    install_files "$out/lib/pkgconfig" "$work/libvorbis/vorbis.pc" \
        "$work/libvorbis/vorbisfile.pc"
}

# --enable-custom-modes as Debian has it, and its defaults otherwise: intrinsics and run-time
# CPU detection. x86-64 always has SSE and SSE2, and -msse2 gives the x86 build the same, so both
# use, without asking the processor, the very SSE kernels that Debian's amd64 library uses for
# float decoding (plain C kernels sum in another order: measured, they change the samples). What
# the detection picks (SSE4.1, AVX) serves only the encoder and fixed point. It stays on because
# opus 1.3.1 with --disable-rtcd still picks among those kernels, from a CPUID it never reads.
# Debian's amd64 build of opus 1.5 adds the neural packet-loss concealment and speech
# enhancement: the first acts only on packets missing from a stream, the second only at a
# decoder complexity that libopusfile never sets, so neither touches a file's samples, and their
# models would more than double the DLL. They stay out.
opus() {
    configure_package opus --enable-custom-modes --disable-doc \
        --disable-extra-programs --disable-stack-protector --disable-maintainer-mode
    build opus . libopus.la install-pkgincludeHEADERS
    install_files "$out/lib" "$work/opus/.libs/libopus.a"
    install_files "$out/lib/pkgconfig" "$work/opus/opus.pc"
}

# Float decoding as in Debian's build; no HTTP (that is libopusurl, which nothing here uses).
opusfile() {
    configure_package opusfile --disable-http --disable-examples --disable-doc \
        --disable-maintainer-mode
    build opusfile . libopusfile.la install-opusincludeHEADERS
    install_files "$out/lib" "$work/opusfile/.libs/libopusfile.a"
    install_files "$out/lib/pkgconfig" "$work/opusfile/opusfile.pc"
}

# libFLAC alone, with Ogg FLAC as Debian has it. Its decoder is plain integer C with no
# processor-specific path at all: the SSE and AVX kernels that Debian's amd64 build keeps serve
# only the encoder, so they are left out (as is the processor probe they need).
# Building in src/libFLAC and include/FLAC alone keeps make away from doc/, whose Makefile.am
# Debian's patch touches. flac 1.5's threads serve only its encoder, and would bring mingw's
# pthread library into the DLL: off (1.4 does not know the option and ignores it).
flac() {
    configure_package flac --disable-asm-optimizations --disable-programs --disable-examples \
        --disable-cpplibs --disable-doxygen-docs --disable-stack-smash-protection \
        --disable-fortify-source --disable-rpath --disable-oggtest --with-ogg="$out" \
        --disable-multithreading
    build flac src/libFLAC libFLAC.la
    build flac include/FLAC install
    install_files "$out/lib" "$work/flac/src/libFLAC/.libs/libFLAC.a"
    install_files "$out/lib/pkgconfig" "$work/flac/src/libFLAC/flac.pc"
}

# The library asks for the decoder named "generic" on every system, so only that one is built.
# Its 16-bit output must round as Debian's amd64 build does: mpg123 would pick the old
# truncating sample writer for 32-bit x86, so it is switched off (the rounding is the default
# --enable-int-quality on both). No console messages: the library must not write to stderr.
# Audio output and network streams are the mpg123 program's: off, fewer checks to run.
# mpg123's Makefile is one for the whole tree: only libmpg123 is made.
mpg123() {
    configure_package mpg123 --with-cpu=generic_fpu --disable-newoldwritesample \
        --enable-int-quality --disable-messages --disable-modules --with-audio=dummy \
        --with-default-audio=dummy --disable-network --disable-ipv6
    build mpg123 . src/libmpg123/libmpg123.la
    install_files "$out/lib" "$work/mpg123/src/libmpg123/.libs/libmpg123.a"
    # Its public headers: made by configure beside the library up to 1.31, kept in src/include
    # since 1.32.
    install_files "$out/include" \
        "$(first_of "$work/mpg123/src/libmpg123/mpg123.h" "$sources/mpg123/src/include/mpg123.h")" \
        "$(first_of "$sources/mpg123/src/libmpg123/fmt123.h" "$sources/mpg123/src/include/fmt123.h")"
    install_files "$out/lib/pkgconfig" "$work/mpg123/libmpg123.pc"
}

# Runs the named packages one after the other in the background; its process id is in $!.
in_background() {
    (for package in "$@"; do "$package"; done) &
}

# Configure scripts run one test at a time: two (at times three) lines of packages keep both
# processors busy. mpg123 needs nothing; the rest need libogg. A failure is reported once every
# line has stopped, so that nothing is left running into the next attempt's folders.
build_all() {
    local pids=() pid failed=0
    in_background mpg123
    pids+=($!)
    in_background libogg
    if wait $!; then
        in_background libvorbis flac
        pids+=($!)
        in_background opus opusfile
        pids+=($!)
    else
        failed=1
    fi
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=1
    done
    [[ $failed == 0 ]] || fail "$triple: a package failed to build (see above)"
}

rm -rf "${out:?}/include" "${out:?}/lib" "${work:?}"
mkdir -p "$work"
build_all
