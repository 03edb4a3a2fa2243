# The Windows build: statically linked (no MinGW DLL beside the program), for Windows 10 and 11,
# wide-character Win32 calls throughout. Third-party code comes from Debian's source packages that
# scripts/setup unpacks into third_party/, and from Debian's header-only and source packages.
set(KORVALINE_THIRD_PARTY ${PROJECT_SOURCE_DIR}/third_party)
foreach(dir rtmidi hidapi cpp-httplib)
    if(NOT EXISTS ${KORVALINE_THIRD_PARTY}/${dir})
        message(FATAL_ERROR "${KORVALINE_THIRD_PARTY}/${dir} is missing: run scripts/setup first.")
    endif()
endforeach()

add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE WIN32_LEAN_AND_MEAN
                        NOMINMAX)
add_compile_options(-Werror)
add_link_options(-static -static-libgcc -static-libstdc++)
# -O2, not -O3: at -O3 GCC 12 warns of overlapping copies inside libstdc++'s own string code
# (a false -Wrestrict, GCC bug 105329), which -Werror would make fatal. Symbols are stripped from
# the shipped program.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "" FORCE)
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_RELEASE "-s" CACHE STRING "" FORCE)

# Header-only JSON from Debian's nlohmann-json3-dev: its folder alone, not the rest of
# /usr/include, which belongs to the Linux system.
set(_tp_include ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${_tp_include})
file(CREATE_LINK /usr/include/nlohmann ${_tp_include}/nlohmann SYMBOLIC)
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${_tp_include})
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

# cpp-httplib in its header-only form, over Winsock.
file(CREATE_LINK ${KORVALINE_THIRD_PARTY}/cpp-httplib/httplib.h ${_tp_include}/httplib.h SYMBOLIC)
add_library(tp_httplib INTERFACE)
target_include_directories(tp_httplib SYSTEM INTERFACE ${_tp_include})
target_link_libraries(tp_httplib INTERFACE ws2_32 crypt32)
add_library(third_party::httplib ALIAS tp_httplib)

# RtMidi with its Windows MultiMedia back end.
add_library(tp_rtmidi STATIC ${KORVALINE_THIRD_PARTY}/rtmidi/RtMidi.cpp)
target_compile_definitions(tp_rtmidi PUBLIC __WINDOWS_MM__)
target_compile_options(tp_rtmidi PRIVATE -w)
target_include_directories(tp_rtmidi SYSTEM PUBLIC ${KORVALINE_THIRD_PARTY}/rtmidi)
target_link_libraries(tp_rtmidi PUBLIC winmm)
set_target_properties(tp_rtmidi PROPERTIES UNITY_BUILD OFF)
add_library(third_party::rtmidi ALIAS tp_rtmidi)

# hidapi's Windows back end. Its header is included as <hidapi/hidapi.h> on both systems.
file(MAKE_DIRECTORY ${_tp_include}/hidapi)
file(CREATE_LINK ${KORVALINE_THIRD_PARTY}/hidapi/hidapi/hidapi.h ${_tp_include}/hidapi/hidapi.h SYMBOLIC)
add_library(tp_hidapi STATIC ${KORVALINE_THIRD_PARTY}/hidapi/windows/hid.c)
target_compile_options(tp_hidapi PRIVATE -w -UWIN32_LEAN_AND_MEAN)
target_include_directories(tp_hidapi SYSTEM PUBLIC ${_tp_include}
                           PRIVATE ${KORVALINE_THIRD_PARTY}/hidapi/hidapi)
target_link_libraries(tp_hidapi PUBLIC setupapi)
set_target_properties(tp_hidapi PROPERTIES UNITY_BUILD OFF)
add_library(third_party::hidapi ALIAS tp_hidapi)

# GoogleTest from Debian's sources of it (googletest), built for Windows; it names its own
# targets GTest::gtest, GTest::gtest_main and GTest::gmock.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
    set_target_properties(${t} PROPERTIES UNITY_BUILD OFF)
endforeach()
