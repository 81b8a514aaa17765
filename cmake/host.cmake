# The native build: the core over the POSIX platform and our own audio library, with the tests.
enable_testing()
include(${CMAKE_CURRENT_LIST_DIR}/symbolizer.cmake)

set(HOST_WARNINGS -Wall -Wextra -Werror)

add_library(playonce_core STATIC ${CORE_SOURCES})
target_include_directories(playonce_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(playonce_core PRIVATE ${HOST_WARNINGS} -fno-exceptions -fno-rtti)

# The kernel32 and winmm calls of the core, made of POSIX calls.
add_library(posix_platform STATIC
    platform/posix/exit_process.cpp
    platform/posix/file_kind.cpp
    platform/posix/find_first_file.cpp
    platform/posix/get_command_line.cpp
    platform/posix/get_drive_type.cpp
    platform/posix/get_file_attributes.cpp
    platform/posix/heap.cpp
    platform/posix/join_arguments.cpp
    platform/posix/sleep.cpp
    platform/posix/standard_descriptors.cpp
    platform/posix/timer_period.cpp)
target_include_directories(posix_platform PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(posix_platform PRIVATE ${HOST_WARNINGS} -fno-exceptions -fno-rtti)

# Our stand-in for the audio library, which the Linux program imports.
add_subdirectory(libbass)

# The Linux program: the audio library is an ordinary import, found by the run path: beside the
# executable in the build, in the private library folder once installed (cmake/package.cmake).
add_executable(playonce platform/posix/main.cpp)
target_link_libraries(playonce PRIVATE playonce_core posix_platform bass)
target_compile_options(playonce PRIVATE ${HOST_WARNINGS})
include(cmake/package.cmake)
set_target_properties(playonce PROPERTIES
    BUILD_RPATH "\$ORIGIN"
    INSTALL_RPATH "\$ORIGIN/../${PLAYONCE_PRIVATE_LIBDIR}")

add_subdirectory(tests/unit)
add_subdirectory(tests/posix)
add_subdirectory(tests/libbass)
add_subdirectory(tests/audio)
add_subdirectory(tests/setup)
add_subdirectory(tests/demo)
add_subdirectory(tests/install)

# The committed icon must be what its generator draws.
find_program(PYTHON3 NAMES python3 REQUIRED)
add_test(NAME icon_is_reproducible
    COMMAND sh -c "\"$0\" \"$1/resources/make_icon.py\" icon.ico && cmp icon.ico \"$1/resources/playonce.ico\""
        ${PYTHON3} ${CMAKE_SOURCE_DIR})

if(PLAYONCE_FUZZ)
    add_subdirectory(fuzz)
endif()
