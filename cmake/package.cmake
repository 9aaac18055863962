# SPDX-License-Identifier: GPL-3.0-or-later
# make package: a Debian package of the installed files. Its dependencies are worked out from the
# libraries the programs actually link (dpkg-shlibdeps); the window also needs Qt's desktop
# platform plugins, which no program links.

set(TESSALINE_PACKAGE_MAINTAINER "Tessaline developers <developers@tessaline.org>" CACHE STRING
    "Maintainer field of the Debian package: Name <address>")

# What Debian wants beside every package: the licence in machine-readable form and the changelog.
install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
tessaline_install_gzipped(${PROJECT_SOURCE_DIR}/debian/changelog ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaline)
set(CPACK_PACKAGE_VENDOR "Tessaline")
set(CPACK_PACKAGE_CONTACT "${TESSALINE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TESSALINE_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "D-VHS recorder with reservations, batch conversion and tape writing")
# One line each: dpkg shows the extended description as it stands, 80 columns at most.
set(CPACK_PACKAGE_DESCRIPTION [[
Records the MPEG-2 transport stream of a D-VHS deck attached over IEEE 1394
as delivered, trimmed to 188-byte TS packets, or converted on the fly to an
MPEG-2 program stream; keeps a timetable of reservations, converts TS files
to program streams in batches and plays TS files back into the deck.
tessaline-cli is the same engine without a window.
.
The package lets the user at the computer open IEEE 1394 decks (udev rules).]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TESSALINE_BUILD_GUI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
endif()
include(CPack)
