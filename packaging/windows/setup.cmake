# The setup program of the Windows build (korvaline.nsi beside this file), built by the target
# korvaline_setup into the tree's top: korvaline-setup-<version>.exe. Included by
# app/CMakeLists.txt, which knows the program, its icon and its publisher.
find_program(KORVALINE_MAKENSIS makensis REQUIRED)
set(korvaline_setup_exe ${PROJECT_BINARY_DIR}/korvaline-setup-${PROJECT_VERSION}.exe)
set(korvaline_nsi ${CMAKE_CURRENT_LIST_DIR}/korvaline.nsi)
# The program goes in without its debugging information (a twentieth of its size), which stays in
# the tree's korvaline.exe. -WX: a warning of NSIS stops the build, as the compiler's do.
set(korvaline_shipped ${CMAKE_CURRENT_BINARY_DIR}/setup/korvaline.exe)
add_custom_command(OUTPUT ${korvaline_setup_exe}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/setup
                   COMMAND ${CMAKE_STRIP} -o ${korvaline_shipped} $<TARGET_FILE:korvaline>
                   COMMAND ${KORVALINE_MAKENSIS} -V2 -WX -NOCD
                           -DVERSION=${PROJECT_VERSION}
                           -DPROGRAM=${korvaline_shipped}
                           -DICON=${korvaline_ico}
                           -DPUBLISHER=${korvaline_publisher}
                           -DOUTFILE=${korvaline_setup_exe}
                           ${korvaline_nsi}
                   DEPENDS korvaline ${korvaline_nsi} ${korvaline_ico}
                   COMMENT "Building the setup program korvaline-setup-${PROJECT_VERSION}.exe"
                   VERBATIM)
add_custom_target(korvaline_setup DEPENDS ${korvaline_setup_exe})
# Where the setup program goes, for its test (tests/windows).
set_target_properties(korvaline_setup PROPERTIES KORVALINE_SETUP_EXE ${korvaline_setup_exe})
