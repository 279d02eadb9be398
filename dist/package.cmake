# SPDX-License-Identifier: MIT
# The Debian package, made by CPack from the install rules above: the version comes straight
# from project(), and what goes into the package is exactly what `cmake --install` installs.
# tools/package.sh builds it from a fresh clone with Debian's compiler flags.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Morvane developers")
set(CPACK_PACKAGE_CONTACT "${MORVANE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/strip_like_debian.cmake)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Tundro W6 GNSS receivers")
# CPack turns the blank lines into the " ." lines of a Debian description.
set(CPACK_PACKAGE_DESCRIPTION
    "Morvane updates the firmware of a Tundro W6 satellite-navigation receiver
over a serial line. It finds the rate the receiver listens at, puts it into
application-transfer mode and sends the firmware image it carries, showing
the status, the progress and the time remaining.

The package holds the window (morvane, in the menu as Tundro W6 Firmware
Updater), the same load for terminals and scripts (morvane-cli) and a
simulated receiver for trying it without hardware (morvane-sim).

Serial ports belong to the group dialout. To use them, add yourself to it
(sudo usermod -aG dialout $USER), then log out and in again.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/morvane/morvane")
# The run-time dependencies are computed by dpkg-shlibdeps from the programs' libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
