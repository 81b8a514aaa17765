# The freestanding Windows executable: no C runtime, imports from kernel32, winmm and BASS.dll only.
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ENTRY_SYMBOL _RunMain)
    set(MANIFEST_ARCHITECTURE x86)
    set(ARCH_FLAGS -msse2 -mfpmath=sse -mstackrealign)
else()
    set(ENTRY_SYMBOL RunMain)
    set(MANIFEST_ARCHITECTURE amd64)
    set(ARCH_FLAGS)
endif()

# The audio library's import library, made from our list of its exports. On x86 the list carries
# the stdcall sizes that the compiler's references need; -k drops them from the imported names.
# x86-64 has one calling convention and no sizes in its names: there the list loses them.
set(BASS_DEF ${CMAKE_SOURCE_DIR}/platform/bass.def)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    file(READ ${BASS_DEF} exports)
    string(REGEX REPLACE "@[0-9]+" "" exports "${exports}")
    set(BASS_DEF ${CMAKE_BINARY_DIR}/bass.def)
    file(WRITE ${BASS_DEF} "${exports}")
endif()
set(BASS_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/libbass.a)
add_custom_command(
    OUTPUT ${BASS_IMPORT_LIBRARY}
    COMMAND ${CMAKE_DLLTOOL} -d ${BASS_DEF} -l ${BASS_IMPORT_LIBRARY} -k
    DEPENDS ${BASS_DEF}
    VERBATIM)
add_custom_target(bass_import_library DEPENDS ${BASS_IMPORT_LIBRARY})

# Our own BASS.dll, from the same list of exports, written beside playonce.exe; the reference
# decoders it links in come first (windows_decoders, WINDOWS_DECODER_LICENCES).
include(cmake/windows_decoders.cmake)
add_subdirectory(libbass)

configure_file(resources/playonce.manifest.in ${CMAKE_BINARY_DIR}/playonce.manifest @ONLY)
set_source_files_properties(resources/playonce.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/playonce.ico;${CMAKE_BINARY_DIR}/playonce.manifest")

add_executable(playonce WIN32 ${CORE_SOURCES} resources/playonce.rc)
add_dependencies(playonce bass_import_library)
target_include_directories(playonce PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(playonce PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:${CMAKE_SOURCE_DIR}/resources;${CMAKE_BINARY_DIR}>)
target_compile_options(playonce PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-ffreestanding -fno-builtin -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-stack-protector -fno-ident
    -ffunction-sections -fdata-sections -Wall -Wextra -Werror ${ARCH_FLAGS}>)
target_link_options(playonce PRIVATE
    -nostdlib -s -Wl,--gc-sections -Wl,--subsystem,windows -Wl,-e,${ENTRY_SYMBOL}
    -Wl,--no-insert-timestamp -Wl,-Map=${CMAKE_BINARY_DIR}/playonce.map)
target_link_libraries(playonce PRIVATE kernel32 winmm ${BASS_IMPORT_LIBRARY})

enable_testing()
# The Linux build whose samples the Windows builds' are held to; the test command builds it first.
set(PLAYONCE_HOST_BUILD ${CMAKE_SOURCE_DIR}/build/host CACHE PATH
    "The host preset's build folder, for the Linux build's decoding of the test files")
find_program(HOST_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
add_test(NAME executable_checks
    COMMAND ${HOST_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/artifact/check_exe.py
        $<TARGET_FILE:playonce> ${CMAKE_BINARY_DIR}/playonce.map ${MANIFEST_ARCHITECTURE}
        ${CMAKE_OBJDUMP})
add_test(NAME library_checks
    COMMAND ${HOST_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/artifact/check_dll.py
        $<TARGET_FILE:bass> $<TARGET_FILE:playonce> ${MANIFEST_ARCHITECTURE})

# The whole-run test of the x86 product: the built image itself, run under CPU emulation over
# recording stubs.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_test(NAME emulated_runs
        COMMAND ${HOST_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/emulated/test_runs.py
            $<TARGET_FILE:playonce>)
    # The x86 BASS.dll's exports, called one by one under the same emulation.
    add_test(NAME emulated_library_calls
        COMMAND ${HOST_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/emulated/test_dll_exports.py
            $<TARGET_FILE:bass>)
    # The x86 BASS.dll plays real files of each format it decodes, under the same emulation:
    # sample for sample what the Linux build's library makes of them.
    add_test(NAME emulated_library_decoding
        COMMAND ${HOST_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/emulated/test_dll_decoding.py
            $<TARGET_FILE:bass> ${PLAYONCE_HOST_BUILD}/tests/libbass/decode_dump)
endif()

# The guest stage's stand-in winmm.dll for the x86 release.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_subdirectory(tests/vm)
endif()

# The Wine runs of the x86-64 build, with their test-only stand-in for the audio library.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_subdirectory(tests/wine)
endif()

# The release zip is the x86 product's: the x86-64 build is for testing. The test packs the build
# into a scratch folder of its own and checks what cpack made.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    include(cmake/release.cmake)
    add_test(NAME release_zip
        COMMAND ${HOST_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/release/check_zip.py
            --cpack ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
            --scratch ${CMAKE_BINARY_DIR}/release_zip --name ${PLAYONCE_RELEASE_NAME}.zip
            --exe $<TARGET_FILE:playonce> --dll $<TARGET_FILE:bass>
            --readme ${CMAKE_SOURCE_DIR}/README.md --license ${CMAKE_SOURCE_DIR}/LICENSE
            --licences ${WINDOWS_DECODER_LICENCES})
endif()
