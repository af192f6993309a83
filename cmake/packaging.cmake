# What `cmake --install` puts where, and the Debian package CPack builds from it.
#
# An installed program finds its bundled data in share/tulix beside its bin folder
# (BundledDataFolder in src/app/application_core.cpp), so the two must keep that relation: the
# data goes to ${CMAKE_INSTALL_DATADIR}/tulix and the programs to ${CMAKE_INSTALL_BINDIR}.

include(GNUInstallDirs)

set(_tulix_programs tulix tulix-search tulix-enginetest tulix-update-server tulix-demo-engines
  tulix-bridge)
foreach(_program IN LISTS _tulix_programs)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The browser library is a later addition; until its target exists there is nothing to install.
# Start-up registers it from the user's categories folder, so whoever adds it also decides how
# it gets there from here.
if(TARGET tulixlib)
  install(TARGETS tulixlib tulixclient LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tulix)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/tulixlib.h ${PROJECT_SOURCE_DIR}/examples/search.c
    ${PROJECT_SOURCE_DIR}/examples/search.py DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tulix/examples)
endif()

# Both bundled engine sets (the real one seeds a new program folder, the demo one serves the
# demo engines), the demo corpus and the tips.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/engines ${PROJECT_SOURCE_DIR}/data/demo
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tulix)
if(EXISTS ${PROJECT_SOURCE_DIR}/data/tips.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/data/tips.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/tulix)
endif()

# The browser extension, for users to load unpacked (or to pack) from share/tulix/browser; its
# host, tulix-bridge, is installed with the programs above and set up per user with --install.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/browser/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tulix/browser)

install(FILES ${PROJECT_SOURCE_DIR}/data/desktop/tulix.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/desktop/tulix.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The Debian package (scripts/tulix package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tulix)
set(CPACK_PACKAGE_VENDOR "Tulix developers")
set(CPACK_PACKAGE_CONTACT "Tulix developers <tulix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop metasearch: one query, many search engines")
# The synopsis above and this extended description become the package's Description field.
set(CPACK_PACKAGE_DESCRIPTION
  "Tulix sends a query to the search engines of a category at once, merges
and ranks their results, filters them and keeps each search with its
results so that it can be run again later. Engines are described by small
definition files. The package also carries a command-line search, the
engine author's test tool, an update server and simulated engines.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries come from what the programs link, as the distribution's own packages
# compute them; without dpkg-shlibdeps the package would claim to need nothing, so say so.
find_program(TULIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TULIX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: a Debian package built here lists no dependencies")
endif()
# The window icon is an SVG, drawn by Qt's SVG plugins, which no linked library names.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
include(CPack)
