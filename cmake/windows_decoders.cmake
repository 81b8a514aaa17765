# The reference decoders (libvorbis, opus, libFLAC, mpg123) for BASS.dll, built for this target.
#
# Defines the INTERFACE target windows_decoders (their headers, their static libraries in link
# order, and what those need of mingw-w64 and Windows) and WINDOWS_DECODER_LICENCES (their
# licence texts, to ship beside the DLL). The work waits for the build, not the configuration:
# Debian's source packages are fetched and unpacked once per checkout (cmake/debian-sources.sh),
# the libraries built once per build folder, each by its own build system
# (cmake/windows-decoders.sh), so that they give the samples Debian's own libraries give on Linux.
set(PLAYONCE_DEBIAN_SOURCES_DIR ${CMAKE_SOURCE_DIR}/build/debian-sources CACHE PATH
    "Where Debian's source packages of the Windows decoders are kept, for every build folder")
if(NOT MINGW_TRIPLE)
    message(FATAL_ERROR "windows_decoders.cmake needs MINGW_TRIPLE from the mingw toolchain file")
endif()

set(WINDOWS_DECODERS_DIR ${CMAKE_BINARY_DIR}/decoders)

# Each library before those it calls: opusfile needs opus and ogg, vorbisfile vorbis and ogg,
# libFLAC ogg (for Ogg FLAC).
set(WINDOWS_DECODER_LIBRARIES)
foreach(library opusfile opus vorbisfile vorbis FLAC ogg mpg123)
    list(APPEND WINDOWS_DECODER_LIBRARIES ${WINDOWS_DECODERS_DIR}/lib/lib${library}.a)
endforeach()

# Each package's licence and Debian's account of who holds the copyright of what, named by
# package: libogg-COPYING.txt, libogg-debian-copyright.txt, ... libFLAC's licence is
# COPYING.Xiph (flac's other COPYING files cover its programs and documents).
set(WINDOWS_DECODER_LICENCES)
set(licence_copies)
foreach(source
        libogg/COPYING libogg/debian/copyright
        libvorbis/COPYING libvorbis/debian/copyright
        opus/COPYING opus/debian/copyright
        opusfile/COPYING opusfile/debian/copyright
        flac/COPYING.Xiph flac/debian/copyright
        mpg123/COPYING mpg123/debian/copyright)
    string(REPLACE "/" "-" name ${source})
    set(copy ${WINDOWS_DECODERS_DIR}/licences/${name}.txt)
    list(APPEND WINDOWS_DECODER_LICENCES ${copy})
    list(APPEND licence_copies
        COMMAND ${CMAKE_COMMAND} -E copy ${PLAYONCE_DEBIAN_SOURCES_DIR}/src/${source} ${copy})
endforeach()
# And which revision of each source package went in: the index of the building machine's own
# release decides, so the zip says it.
set(versions_copy ${WINDOWS_DECODERS_DIR}/licences/debian-source-versions.txt)
list(APPEND WINDOWS_DECODER_LICENCES ${versions_copy})
list(APPEND licence_copies
    COMMAND ${CMAKE_COMMAND} -E copy ${PLAYONCE_DEBIAN_SOURCES_DIR}/versions.txt ${versions_copy})

# One step: the sources (nothing to do when the checkout has them already), the libraries, the
# licences. Run again only when a script changes or an output is gone.
add_custom_command(
    OUTPUT ${WINDOWS_DECODER_LIBRARIES} ${WINDOWS_DECODER_LICENCES}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/debian-sources.sh ${PLAYONCE_DEBIAN_SOURCES_DIR}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/windows-decoders.sh ${MINGW_TRIPLE}
        ${PLAYONCE_DEBIAN_SOURCES_DIR}/src ${WINDOWS_DECODERS_DIR}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${WINDOWS_DECODERS_DIR}/licences
    ${licence_copies}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian-sources.sh ${CMAKE_CURRENT_LIST_DIR}/windows-decoders.sh
    COMMENT "Building the decoders for ${MINGW_TRIPLE} from Debian's sources"
    VERBATIM)
add_custom_target(windows_decoders_build
    DEPENDS ${WINDOWS_DECODER_LIBRARIES} ${WINDOWS_DECODER_LICENCES})

# What the libraries need besides: mingw-w64's own C99 parts (the math functions, printf) and the
# math-error hook those call (mingw32), msvcrt.dll's C library, libgcc (stack probes; 64-bit
# division on x86), and of Windows kernel32 and shlwapi (mpg123 resolves file paths with it).
# The first four are searched as one group: since mingw-w64 12, libmsvcrt.a carries math
# functions of its own (sin, pow ...) that call back into mingwex and mingw32.
# FLAC__NO_DLL: libFLAC's headers would otherwise declare its functions imported from a DLL.
add_library(windows_decoders INTERFACE)
add_dependencies(windows_decoders windows_decoders_build)
target_include_directories(windows_decoders INTERFACE
    ${WINDOWS_DECODERS_DIR}/include ${WINDOWS_DECODERS_DIR}/include/opus)
target_compile_definitions(windows_decoders INTERFACE FLAC__NO_DLL)
target_link_libraries(windows_decoders INTERFACE
    ${WINDOWS_DECODER_LIBRARIES} "$<LINK_GROUP:RESCAN,mingwex,mingw32,msvcrt,gcc>"
    kernel32 shlwapi)
