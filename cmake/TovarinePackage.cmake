# The Debian package of the installed layout (scripts/package.sh makes it from a release build).
# Its dependencies are the shared libraries' packages, found by dpkg-shlibdeps, and what runs
# beside the program: the USB multiplexer daemon, the font of its screens and Qt's platform
# plugins for X11 and Wayland.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovarine)
set(CPACK_PACKAGE_VENDOR "The Tovarine developers")
set(CPACK_PACKAGE_CONTACT "The Tovarine developers <packages@tovarine.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Extend the desktop onto a tablet over USB")
set(CPACK_PACKAGE_DESCRIPTION
  "Tovarine turns a tablet connected with its USB cable into a second display of the desktop.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${TOVARINE_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "usbmuxd, fonts-quicksand, qt6-wayland, qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
