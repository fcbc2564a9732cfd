# Installed layout and the Debian package.
#
#   bin/velbrin-link, bin/velbrin-status, bin/fp550-sim
#   share/velbrin/Other/DB_Clear/Zorvex.fdb   the empty database; the first start copies
#                                             it into the installation directory
#   share/velbrin/velbrin.ini.example         an example settings store
#   share/applications/velbrin-status.desktop
#   etc/helvane/velbrin.ini                   the default settings store (/etc in the package)
#   etc/xdg/autostart/velbrin-link.desktop    starts the tray program with the desktop session
#   share/man/man1/*.1.gz                     manual pages of the three programs
#   share/doc/velbrin-link/copyright, changelog.gz

set(pkg ${CMAKE_CURRENT_LIST_DIR})
install(FILES ${pkg}/velbrin.ini.example DESTINATION ${CMAKE_INSTALL_DATADIR}/velbrin)
install(FILES ${pkg}/velbrin-status.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${pkg}/velbrin.ini DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/helvane)
install(FILES ${pkg}/velbrin-link.desktop DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/xdg/autostart)

# Manual pages and the changelog compressed as Debian keeps them (gzip -9, no
# name or time inside, so that two builds give the same bytes).
set(velbrin_gz)
foreach(src man/velbrin-link.1 man/velbrin-status.1 man/fp550-sim.1 changelog)
  get_filename_component(name ${src} NAME)
  set(out ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${pkg}/${src} > ${out}
    DEPENDS ${pkg}/${src} VERBATIM)
  list(APPEND velbrin_gz ${out})
endforeach()
add_custom_target(velbrin_packaging_docs ALL DEPENDS ${velbrin_gz})
list(FILTER velbrin_gz INCLUDE REGEX "\\.1\\.gz$")
install(FILES ${velbrin_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkg}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velbrin-link)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velbrin-link)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Helvane)
set(CPACK_PACKAGE_CONTACT "Helvane <link@helvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Link between a cash register and the FP-550 fiscal printer")
set(CPACK_PACKAGE_DESCRIPTION "Takes receipts and commands from the cash register's exchange directory,
records them in its own database, drives the fiscal printer on a serial port
and answers every request with a result file. Runs as a tray program started
with the desktop session; velbrin-status shows the printer's and the link's
state, fp550-sim simulates the printer for tests.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_STRIP_FILES ON)
# Libraries linked directly come from dpkg-shlibdeps; these are loaded at run time:
# the embedded database engine (with its character sets) and Qt's platform plugins.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "firebird3.0-server-core, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg}/conffiles)
set(CPACK_PRE_BUILD_SCRIPTS ${pkg}/DebLayout.cmake)
include(CPack)
