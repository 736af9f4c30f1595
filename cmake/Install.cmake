# What `cmake --install` puts where on Linux, and the Debian package CPack
# makes of it (`cpack -G DEB` in the build folder).
if(NOT UNIX OR APPLE)
  return()
endif()
include(GNUInstallDirs)

set(MAILVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/mailvane)

# Manual pages and the package's changelog are installed compressed, as
# Debian wants them; -n keeps the bytes the same from one build to the next.
find_program(MAILVANE_GZIP gzip REQUIRED)
set(MAILVANE_CHANGELOG_DATE "Mon, 07 Dec 2026 00:00:00 +0000")
configure_file(${PROJECT_SOURCE_DIR}/resources/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
set(compressed)
foreach(source docs/mailvane-cli.1 docs/mailvane.1 ${CMAKE_BINARY_DIR}/package/changelog)
  get_filename_component(name ${source} NAME)
  if(NOT IS_ABSOLUTE ${source})
    set(source ${PROJECT_SOURCE_DIR}/${source})
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/${name}.gz
    COMMAND ${MAILVANE_GZIP} -9n -c ${source} > ${CMAKE_BINARY_DIR}/package/${name}.gz
    DEPENDS ${source}
    VERBATIM)
  list(APPEND compressed ${CMAKE_BINARY_DIR}/package/${name}.gz)
endforeach()
add_custom_target(mailvane_package_files ALL DEPENDS ${compressed})

install(FILES ${CMAKE_BINARY_DIR}/package/mailvane-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET mailvane)
  install(FILES ${CMAKE_BINARY_DIR}/package/mailvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/mailvane.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/resources/mailvane-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME mailvane-cli)
install(FILES ${PROJECT_SOURCE_DIR}/docs/guide.html DESTINATION ${MAILVANE_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${MAILVANE_DOC_DIR} RENAME copyright)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION ${MAILVANE_DOC_DIR})

set(CPACK_PACKAGE_NAME mailvane)
set(CPACK_PACKAGE_VENDOR "The Mailvane developers")
set(CPACK_PACKAGE_CONTACT "The Mailvane developers <mailvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert MBOX mailboxes into EML, EMLX, MSG and PST files")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/mailvane")
# The summary is the package's first description line; these follow it.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Mailvane reads MBOX mailboxes, as Thunderbird, Apple Mail, Gmail Takeout\n"
       "and mail servers keep them, and writes their messages as loose EML or EMLX\n"
       "files, Outlook message files (MSG) or Outlook data files (PST), which it\n"
       "writes itself. It keeps the mail program's folder tree, read state and\n"
       "Gmail labels when asked. A window (mailvane) and a command line\n"
       "(mailvane-cli) share the same engine.")
include(CPack)
