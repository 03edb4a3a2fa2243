# What `cmake --install` puts under the prefix besides the program (app/CMakeLists.txt): the
# desktop entry and its icon, so desktops list the program, and the udev rules, so the logged-in
# user can open the module and its bootloader. udev reads rules from /usr/local/lib/udev/rules.d
# as well as /usr/lib/udev/rules.d, so the rules work with the default prefix and with /usr.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvaline.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/web_resources/assets/img/icon.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/512x512/apps
        RENAME korvaline.png)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-korvaline.rules
        DESTINATION lib/udev/rules.d)
