# The Debian package: `scripts/package` builds it (cpack -G DEB). The
# programs and schema files install from their own folders; this adds what
# makes it a desktop program and a service: menu entry, icon, man pages,
# systemd units, copyright and changelog.

set(V270_PACKAGE_MAINTAINER "v270-aktarim developers <v270-aktarim@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/v270-aktarim)

install(FILES ${packaging}/v270-aktarim.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging}/v270-aktarim.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES "${packaging}/systemd/v270-aktarim-transfer.service"
              "${packaging}/systemd/v270-aktarim-transfer.timer"
              "${packaging}/systemd/v270-aktarim-watch.service"
        DESTINATION lib/systemd/system)

# Debian wants man pages and the changelog compressed, without a time stamp.
find_program(GZIP gzip REQUIRED)
function(v270_install_gzipped source destination)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND ${GZIP} -9nc ${source} > ${out}
    DEPENDS ${source} VERBATIM)
  list(APPEND gzipped ${out})
  set(gzipped ${gzipped} PARENT_SCOPE)
  install(FILES ${out} DESTINATION ${destination})
endfunction()

set(gzipped)
foreach(page v270-terminal v270-mysql v270-init-program-dir)
  v270_install_gzipped(${packaging}/man/${page}.1 ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# v270-aktarim's page takes its synopsis, subcommands and exit codes from the
# table that prints the program's --help, so the two can't drift apart.
set(man_page ${CMAKE_CURRENT_BINARY_DIR}/packaging/v270-aktarim.1)
add_custom_command(OUTPUT ${man_page}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:v270-aktarim> --man ${packaging}/man/v270-aktarim.1.in > ${man_page}
  DEPENDS v270-aktarim ${packaging}/man/v270-aktarim.1.in VERBATIM)
v270_install_gzipped(${man_page} ${CMAKE_INSTALL_MANDIR}/man1)
configure_file(${packaging}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
v270_install_gzipped(${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog ${docdir})
add_custom_target(v270_packaging_files ALL DEPENDS ${gzipped})
install(FILES ${packaging}/copyright DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME v270-aktarim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${V270_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "attendance records from fingerprint terminals")
# The summary is the synopsis line; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A desktop program, in Turkish, for the operator of fingerprint
time-attendance terminals: it keeps a list of terminals, connects to one
over TCP/IP, a serial line or USB, and downloads its attendance records
into the data files a personnel attendance (PDKS) program imports. It also
sets the terminal clock, edits the bell schedule and copies enrollments
between terminals.

The package also holds a terminal emulator (v270-terminal), a small MySQL
client for checking the PDKS connection (v270-mysql) and systemd units for
downloads every 15 minutes.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies are read off the programs' libraries by dpkg-shlibdeps; the
# SQLite driver is a Qt plugin, loaded at run time, so no library names it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, fonts-dejavu-core")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_FILE_NAME_SUFFIX "")
include(CPack)
