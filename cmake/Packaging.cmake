# What is installed, and the two packages made of it (README "Install"):
#   - the Debian package halvex_VERSION_amd64.deb, by CPack's DEB generator, in a Linux
#     build whose install prefix is /usr (the package preset's);
#   - the Windows zip halvex-VERSION-win64.zip, by CPack's ZIP generator in a MinGW-w64
#     build, which the target windows-zip of a Linux build configures, builds and packs.
# Both go to HALVEX_PACKAGE_DIR. `cmake --workflow --preset package` makes both.

set(HALVEX_PACKAGE_DIR "${PROJECT_BINARY_DIR}/packages" CACHE PATH
    "Folder that receives the Debian package and the Windows zip")

set(halvex_programs halvex-server halvex-chat-client halvex-bench)

set(CPACK_PACKAGE_NAME halvex)
set(CPACK_PACKAGE_VENDOR "The Halvex developers")
set(CPACK_PACKAGE_CONTACT "Halvex developers <halvex@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small chat server for terminals and browsers")
set(CPACK_OUTPUT_FILE_PREFIX "${HALVEX_PACKAGE_DIR}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip: the three programs at its top, with README.txt and LICENSE.txt in the CR LF
  # line ends that Windows' Notepad shows on every version.
  install(TARGETS ${halvex_programs} RUNTIME DESTINATION .)
  configure_file(packaging/windows/README.txt.in ${PROJECT_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "halvex-${PROJECT_VERSION}-win64")
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
install(TARGETS ${halvex_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the documents, compressed as Debian wants them (gzip -9n: no name,
# no time stamp, so the package is the same from one build to the next).
set(compressed)
function(halvex_gzip input output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${input} ${output}
    DEPENDS ${input} VERBATIM)
  set(compressed ${compressed} ${output} PARENT_SCOPE)
endfunction()

foreach(page halvex-server.8 halvex-chat.1 halvex-bench.1)
  configure_file(man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  halvex_gzip(${PROJECT_BINARY_DIR}/man/${page} ${PROJECT_BINARY_DIR}/man/${page}.gz)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# The newest entry of the changelog names the version being packaged.
file(STRINGS packaging/debian/changelog newest_entry LIMIT_COUNT 1)
if(NOT newest_entry MATCHES "^halvex \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog begins with \"${newest_entry}\": give "
                      "version ${PROJECT_VERSION} (project() in CMakeLists.txt) an entry first")
endif()
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/halvex)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/doc)
halvex_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
# The README shipped in the package: its own opening on the installed server, then these
# sections of README.md as they stand there.
file(READ README.md readme)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md)
set(HALVEX_README_SECTIONS)
foreach(heading "Chatting" "Operating a server" "Hostile clients, in short")
  string(FIND "${readme}" "\n## ${heading}\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no section \"## ${heading}\" for the package's README")
  endif()
  math(EXPR start "${start} + 1")
  string(SUBSTRING "${readme}" ${start} -1 section)
  string(FIND "${section}" "\n## " end)
  string(SUBSTRING "${section}" 0 ${end} section)
  string(APPEND HALVEX_README_SECTIONS "\n${section}")
endforeach()
configure_file(packaging/debian/README.md.in ${PROJECT_BINARY_DIR}/doc/README.md @ONLY)
halvex_gzip(${PROJECT_BINARY_DIR}/doc/README.md ${PROJECT_BINARY_DIR}/doc/README.md.gz)
install(FILES packaging/debian/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
              ${PROJECT_BINARY_DIR}/doc/README.md.gz
        DESTINATION ${docdir})
# Where README.md's picture link finds it.
install(DIRECTORY docs/ DESTINATION ${docdir}/docs)
install(FILES packaging/nginx/nginx-halvex.conf DESTINATION ${docdir}/examples)

add_custom_target(halvex-compressed-docs ALL DEPENDS ${compressed})

# The MinGW-w64 build and its zip, in a folder of this build.
if(NOT CMAKE_CROSSCOMPILING)
  set(windows_build ${PROJECT_BINARY_DIR}/windows)
  cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
  add_custom_target(windows-zip
    # A make that runs this target passes its job server on; the inner build has its own.
    COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MAKELEVEL
            ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${windows_build}
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVEX_TESTS=OFF
            -DHALVEX_PACKAGE_DIR=${HALVEX_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MAKELEVEL
            ${CMAKE_COMMAND} --build ${windows_build} --parallel ${jobs}
    COMMAND ${CMAKE_CPACK_COMMAND} --config ${windows_build}/CPackConfig.cmake
            -B ${windows_build}/cpack
    COMMENT "Building for Windows with MinGW-w64 in ${windows_build}, zipped into ${HALVEX_PACKAGE_DIR}"
    USES_TERMINAL VERBATIM)
endif()

# The Debian package: only where the install prefix is /usr, which the unit's path
# (/usr/bin/halvex-server) and Debian's layout assume.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  return()
endif()

# The service. Bookworm's systemd and lintian expect it in /lib, not /usr/lib.
install(FILES packaging/systemd/halvex.service DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debian wraps the description by hand, at most 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Halvex listens on TCP port 6112, greets each client, announces arrivals\n"
  "and departures, relays every chat line to everyone connected and keeps\n"
  "the list of user names. It bounds what any client can send or leave unread.\n"
  "On port 8080 it serves its chat page to browsers, which chat over a\n"
  "WebSocket in the same room.\n"
  "\n"
  "The package holds the server with its service (enabled and started on\n"
  "install), the console client halvex-chat, the load generator halvex-bench,\n"
  "and an example nginx configuration that adds https:// and wss://.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
