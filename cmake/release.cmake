# The release zip of the x86 product: playonce.exe, our BASS.dll, README.md and LICENSE, loose at
# the zip's top level, so that Explorer's "Extract All" (which already makes a folder named after
# the zip) gives the program and its library side by side, one folder deep; and in licences/ the
# licence of each decoder linked into BASS.dll, with Debian's account of its copyrights.
install(TARGETS playonce bass RUNTIME DESTINATION . COMPONENT release)
install(FILES README.md LICENSE DESTINATION . COMPONENT release)
install(FILES ${WINDOWS_DECODER_LICENCES} DESTINATION licences COMPONENT release)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME playonce)
set(PLAYONCE_RELEASE_NAME playonce-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_FILE_NAME ${PLAYONCE_RELEASE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# Only the release component is packed: an install rule added later for anything else (a test
# helper, the import library) stays out of the zip.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};playonce;release;/")

# The same inputs give the same zip. CPack's own zip records when each file was built, checked
# out and staged, who owned it, and lists the files in the order the staging folder yields them;
# so once made it is written again, sorted, with only each file's name, mode and contents and one
# fixed time: the release's, or SOURCE_DATE_EPOCH's when the packager sets it.
set(PLAYONCE_RELEASE_EPOCH 1796774400) # 2026-12-09 00:00:00 UTC
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/release_normalise.cmake @ONLY CONTENT [[
set(epoch @PLAYONCE_RELEASE_EPOCH@)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch $ENV{SOURCE_DATE_EPOCH})
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    execute_process(
        COMMAND "@HOST_PYTHON3@" -c [=[
import os, sys, time, zipfile
path, stamp = sys.argv[1], time.gmtime(int(sys.argv[2]))[:6]
with zipfile.ZipFile(path) as made:
    entries = sorted((info.filename, info.external_attr, made.read(info))
                     for info in made.infolist())
with zipfile.ZipFile(path + '.new', 'w') as release:
    for name, mode, data in entries:
        info = zipfile.ZipInfo(name, stamp)
        info.create_system, info.external_attr = 3, mode
        release.writestr(info, data, zipfile.ZIP_DEFLATED, 9)
os.replace(path + '.new', path)
]=] "${package}" "${epoch}"
        COMMAND_ERROR_IS_FATAL ANY)
endforeach()
]])
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/release_normalise.cmake)

include(CPack)
