# What `make install` puts under the prefix besides the executable, and the
# Debian package `make package` builds from the same install rules.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/doc/tarnwick.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tarnwick.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tarnwick.svg
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tarnwick")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Tarnwick developers <tarnwick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert fax files into Group 4 TIFF files")
set(CPACK_PACKAGE_DESCRIPTION
    "Converts fax files of many families (page-header, TIFF-structured, container,\n"
    "bitmap and raw G3/G4 streams) into bi-level TIFF files with T.6 coding, from\n"
    "the command line or a window.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
# The runtime libraries' packages come from the linked libraries when
# dpkg-shlibdeps is at hand; otherwise they are named here.
find_program(TARNWICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNWICK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(deps "libc6, libstdc++6, libgcc-s1, libtiff6")
  if(TARNWICK_UI)
    string(APPEND deps ", libqt6widgets6, libqt6gui6, libqt6core6")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${deps}")
endif()
include(CPack)
