# Installing as a Linux program does, and `make package`: CPack's Debian package built from
# the same install rules, with its runtime dependencies read from the binaries by
# dpkg-shlibdeps. The window's own files (manual, desktop entry, icons) are installed by
# src/app; this adds what a Debian system expects besides them.
if(NOT UNIX OR APPLE)
  return()
endif()
include(GNUInstallDirs)
set(quill_docdir ${CMAKE_INSTALL_DATADIR}/doc/quillmere)

# Man pages and the changelog go in compressed with gzip -n (no time stamp inside), so the
# same sources make the same package.
set(quill_gzipped)
foreach(file docs/quillmere.1 docs/quillmere-convert.1 packaging/changelog)
  get_filename_component(name ${file} NAME)
  set(gz ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${file} ${CMAKE_BINARY_DIR}/packaging/${name}
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/${name}
    DEPENDS ${PROJECT_SOURCE_DIR}/${file} VERBATIM)
  list(APPEND quill_gzipped ${gz})
endforeach()
add_custom_target(quill_gzipped_docs ALL DEPENDS ${quill_gzipped})
install(FILES ${CMAKE_BINARY_DIR}/packaging/quillmere.1.gz
              ${CMAKE_BINARY_DIR}/packaging/quillmere-convert.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz packaging/copyright
        DESTINATION ${quill_docdir})
install(FILES packaging/org.example.quillmere.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Lists the HTML manual in the system's documentation browsers.
install(FILES packaging/quillmere.doc-base DESTINATION ${CMAKE_INSTALL_DATADIR}/doc-base
        RENAME quillmere)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmere)
set(CPACK_PACKAGE_VENDOR "Quillmere maintainers")
set(CPACK_PACKAGE_CONTACT
    "Quillmere maintainers <maintainers@users.noreply.c-seed-3514e348.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "convert mbox mailboxes into EML, EMLX, Outlook MSG or PST files")
set(CPACK_PACKAGE_DESCRIPTION [[
Quillmere converts Unix mailbox files (.mbox, .mbx) into other mail formats:
one .eml or .emlx file per message, one Outlook .msg file per message, or a
new Outlook personal-folders store (.pst) with a folder per mailbox. It
writes .pst and .msg files itself; no mail program needs to be installed.

The package holds the window program quillmere and the command-line converter
quillmere-convert, which runs the same conversion from scripts.]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
