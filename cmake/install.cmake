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

# The manual page, compressed as Debian's tools and man itself expect it.
set(korvaline_manpage ${PROJECT_BINARY_DIR}/korvaline.1.gz)
add_custom_command(OUTPUT ${korvaline_manpage}
                   COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/korvaline.1 > ${korvaline_manpage}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/korvaline.1 VERBATIM)
add_custom_target(korvaline_manpage ALL DEPENDS ${korvaline_manpage})
install(FILES ${korvaline_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Software centres find the program through its AppStream metadata.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/com.example.korvaline.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# What Debian expects beside every package's files; harmless in other installations.
set(korvaline_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${korvaline_changelog}
                   COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${korvaline_changelog}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(korvaline_changelog ALL DEPENDS ${korvaline_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${korvaline_changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(cmake/package.cmake)
