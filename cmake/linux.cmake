# Third-party libraries of the Linux build: Debian's packages, through pkg-config. Each is given a
# neutral name (third_party::NAME) that the Windows build gives its own copy too, so the folders'
# CMakeLists.txt name one library the same way on both systems.
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
# The Debian library is compiled: its -D flags must reach every user, or struct layouts differ.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
pkg_check_modules(WEBKIT REQUIRED IMPORTED_TARGET gtk+-3.0 webkit2gtk-4.1)
pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
pkg_check_modules(RTMIDI REQUIRED IMPORTED_TARGET rtmidi)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)

foreach(pair httplib=HTTPLIB udev=UDEV hidapi=HIDAPI rtmidi=RTMIDI jack=JACK alsa=ALSA)
    string(REPLACE "=" ";" parts ${pair})
    list(GET parts 0 name)
    list(GET parts 1 module)
    add_library(third_party::${name} INTERFACE IMPORTED)
    target_link_libraries(third_party::${name} INTERFACE PkgConfig::${module})
endforeach()
