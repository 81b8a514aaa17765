# Installing the Linux program like any Debian tool, and the .deb made of that installation:
# bin/playonce, our libbass.so in a folder of its own (the system's library folder could hold
# another library of that name), the man page and the licence.
# Under the multiarch folder, as Debian keeps private libraries, where the system has one: the
# folder is no loader's, so the package needs no ldconfig call either.
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(PLAYONCE_PRIVATE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/playonce)
else()
    set(PLAYONCE_PRIVATE_LIBDIR lib/playonce)
endif()
install(TARGETS playonce RUNTIME DESTINATION bin)
install(TARGETS bass LIBRARY DESTINATION ${PLAYONCE_PRIVATE_LIBDIR})

# Debian's documentation rules: the pages and the changelog compressed, without a time stamp.
set(PLAYONCE_DOC_DIR share/doc/playonce)
function(playonce_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9n -c ${source} > ${output}
        DEPENDS ${source} VERBATIM)
endfunction()
playonce_gzip(${CMAKE_SOURCE_DIR}/doc/playonce.1 ${CMAKE_BINARY_DIR}/playonce.1.gz)
playonce_gzip(${CMAKE_SOURCE_DIR}/doc/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_target(documentation ALL
    DEPENDS ${CMAKE_BINARY_DIR}/playonce.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/playonce.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${PLAYONCE_DOC_DIR})

# The licence in Debian's machine-readable copyright format: its body indented, blank lines as " .".
file(READ ${CMAKE_SOURCE_DIR}/LICENSE PLAYONCE_LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${PLAYONCE_LICENSE}")
set(PLAYONCE_COPYRIGHT_HOLDER "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" ""
    PLAYONCE_LICENSE_BODY "${PLAYONCE_LICENSE}")
string(REGEX REPLACE "\n+$" "" PLAYONCE_LICENSE_BODY "${PLAYONCE_LICENSE_BODY}")
string(REPLACE "\n\n" "\n.\n" PLAYONCE_LICENSE_BODY "${PLAYONCE_LICENSE_BODY}")
string(REPLACE "\n" "\n " PLAYONCE_LICENSE_BODY " ${PLAYONCE_LICENSE_BODY}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: playonce

Files: *
Copyright: @PLAYONCE_COPYRIGHT_HOLDER@
License: Expat
@PLAYONCE_LICENSE_BODY@
")
install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${PLAYONCE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME playonce)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
    "playonce maintainers <maintainers@users.noreply.c-seed-c121a7e3.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "one-shot audio file player for scripts")
# The summary becomes the first line; CPack indents the rest as Debian's format wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"playonce plays an audio file once at full volume on the default output,
waits for as long as the file lasts and exits 0. It prints nothing and
takes no options: a script plays a notification or a cue with it and goes
on once the cue has been heard.

It reads WAV, AIFF, FLAC, Ogg Vorbis, Opus and MP3, and plays through a
PulseAudio or PipeWire server, or straight through ALSA where no server
runs.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps is told where our own library lies, so that only the system's become dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
