# The native build: the core over a recording double of the platform, with its unit tests.
enable_testing()

add_library(playonce_core STATIC ${CORE_SOURCES})
target_include_directories(playonce_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(playonce_core PRIVATE -Wall -Wextra -Werror -fno-exceptions -fno-rtti)

add_subdirectory(tests/unit)

# The committed icon must be what its generator draws.
find_program(PYTHON3 NAMES python3 REQUIRED)
add_test(NAME icon_is_reproducible
    COMMAND sh -c "\"$0\" \"$1/resources/make_icon.py\" icon.ico && cmp icon.ico \"$1/resources/playonce.ico\""
        ${PYTHON3} ${CMAKE_SOURCE_DIR})
