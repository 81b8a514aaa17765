# A sanitizer build needs llvm-symbolizer: without it every frame is a bare address, and the leak
# suppressions, which name functions and libraries, silently stop matching.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    find_program(PLAYONCE_LLVM_SYMBOLIZER llvm-symbolizer)
    if(NOT PLAYONCE_LLVM_SYMBOLIZER)
        message(FATAL_ERROR "A sanitizer build needs llvm-symbolizer on the PATH (Debian's "
            "package llvm): without it the sanitizers cannot name what they report, and "
            "tests/libbass/lsan.supp matches nothing. Install llvm and configure again.")
    endif()
endif()
