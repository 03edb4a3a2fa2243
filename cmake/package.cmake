# The Debian package (`make deb`): CPack's DEB generator over the install rules, installed under
# /usr, with the shared-library dependencies computed by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvaline)
set(CPACK_PACKAGE_VENDOR "Talverin Acoustics")
set(CPACK_PACKAGE_CONTACT "Talverin Acoustics <support@talverin.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "editor for the Korvaline drum-trigger module")
set(CPACK_PACKAGE_DESCRIPTION
    "Korvaline is the desktop companion of the Korvaline drum-trigger module,\n"
    "a USB device that turns drum-pad signals into MIDI notes. It finds the\n"
    "module on USB, shows its editor in a window (or serves it to a browser on\n"
    "the same machine), saves the pad settings in the module and updates the\n"
    "module's firmware.\n"
    "\n"
    "The package's udev rules let the user at the screen open the module and\n"
    "its firmware bootloader without being root.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps does not look into the window module's private folder by itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_LIBDIR}/korvaline)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
