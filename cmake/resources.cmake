# The resource compiler. The pages (web_resources/) and the third-party assets from npm are staged
# into one tree in the build directory, and every staged file is compiled into the executable as
# constant data with the assembler's .incbin: one small translation unit per file, so a change to
# one page rebuilds one object. The generated index gives the cmrc:: interface of cmake/cmrc/cmrc.hpp.

set(KORVALINE_RESOURCE_ROOT web_resources)
set(_res_stage ${CMAKE_BINARY_DIR}/resources/stage)
set(_res_gen ${CMAKE_BINARY_DIR}/resources/gen)
set(_res_node ${PROJECT_SOURCE_DIR}/node_modules)

# Third-party files: staged path inside the store -> file from the pinned npm packages.
set(_res_third_party
    "assets/css/pico.blue.min.css=${_res_node}/@picocss/pico/css/pico.blue.min.css"
    "assets/js/konva.min.js=${_res_node}/konva/konva.min.js"
    "assets/fonts/SourceSansPro.ttf=${_res_node}/source-sans-pro/TTF/SourceSansPro-Regular.ttf")

# The store holds a one-line version-control pointer file that git itself cannot track.
file(CONFIGURE OUTPUT ${_res_gen}/dot-git CONTENT "gitdir: ../.git/modules/web_resources\n")

file(GLOB_RECURSE _res_own LIST_DIRECTORIES false CONFIGURE_DEPENDS
     RELATIVE ${PROJECT_SOURCE_DIR}/web_resources ${PROJECT_SOURCE_DIR}/web_resources/*)

set(_res_pairs "")
foreach(rel IN LISTS _res_own)
    list(APPEND _res_pairs "${rel}=${PROJECT_SOURCE_DIR}/web_resources/${rel}")
endforeach()
foreach(pair IN LISTS _res_third_party)
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 1 src)
    if(NOT EXISTS "${src}")
        message(FATAL_ERROR "${src} is missing: run scripts/setup (npm ci) first.")
    endif()
    list(APPEND _res_pairs "${pair}")
endforeach()
list(APPEND _res_pairs ".git=${_res_gen}/dot-git")

# Read-only data of the object format: ELF sections hide the symbols from other modules; PE/COFF
# has no such visibility (nothing is exported from an executable unless asked).
if(WIN32)
    # PE/COFF's assembler has no section stack: return to .text, which this file's code expects.
    set(_res_section_template ".section .rdata$@sym@,\\\"dr\\\"")
    set(_res_section_end ".text")
else()
    set(_res_section_template ".section .rodata.@sym@,\\\"a\\\",@progbits")
    set(_res_section_end ".previous")
endif()

set(_res_sources "")
set(_res_table "")
set(_res_externs "")
set(_res_n 0)
foreach(pair IN LISTS _res_pairs)
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 rel)
    list(GET parts 1 src)
    set(staged ${_res_stage}/${KORVALINE_RESOURCE_ROOT}/${rel})
    add_custom_command(OUTPUT ${staged}
                       COMMAND ${CMAKE_COMMAND} -E copy_if_different ${src} ${staged}
                       DEPENDS ${src}
                       COMMENT "Staging ${KORVALINE_RESOURCE_ROOT}/${rel}" VERBATIM)
    set(sym korvaline_resource_${_res_n})
    set(cpp ${_res_gen}/resource_${_res_n}.cpp)
    string(CONFIGURE "${_res_section_template}" _res_section @ONLY)
    if(WIN32)
        set(_res_hidden_begin "")
        set(_res_hidden_end "")
    else()
        set(_res_hidden_begin "\".hidden ${sym}_begin\\n\"\n        ")
        set(_res_hidden_end "\".hidden ${sym}_end\\n\"\n        ")
    endif()
    file(CONFIGURE OUTPUT ${cpp} @ONLY CONTENT
"// Generated from ${KORVALINE_RESOURCE_ROOT}/${rel}: its bytes, followed by one NUL byte that is not part of it.
__asm__(\"@_res_section@\\n\"
        \".balign 16\\n\"
        \".globl @sym@_begin\\n\"
        @_res_hidden_begin@\".globl @sym@_end\\n\"
        @_res_hidden_end@
        \"@sym@_begin:\\n\"
        \".incbin \\\"@staged@\\\"\\n\"
        \"@sym@_end:\\n\"
        \".byte 0\\n\"
        \"@_res_section_end@\\n\");
")
    set_source_files_properties(${cpp} PROPERTIES OBJECT_DEPENDS ${staged})
    list(APPEND _res_sources ${cpp} ${staged})
    string(APPEND _res_externs "extern \"C\" const char ${sym}_begin[];\nextern \"C\" const char ${sym}_end[];\n")
    string(APPEND _res_table "    {\"${KORVALINE_RESOURCE_ROOT}/${rel}\", ${sym}_begin, ${sym}_end},\n")
    math(EXPR _res_n "${_res_n} + 1")
endforeach()

file(CONFIGURE OUTPUT ${_res_gen}/index.cpp @ONLY CONTENT
"// Generated: the index of the app_resources store.
#include <cmrc/cmrc.hpp>

@_res_externs@
namespace cmrc::app_resources {

embedded_filesystem get_filesystem() {
    static const detail::file_record records[] = {
@_res_table@    };
    static const detail::index index(records, sizeof records / sizeof records[0]);
    return embedded_filesystem(index);
}

}  // namespace cmrc::app_resources
")

add_library(app_resources STATIC ${_res_gen}/index.cpp ${_res_sources})
# Each file's object must depend on its staged bytes, which a unity build's combined source loses.
set_target_properties(app_resources PROPERTIES UNITY_BUILD OFF)
target_include_directories(app_resources PUBLIC ${PROJECT_SOURCE_DIR}/cmake)
# The directory the staged tree lives in, for tests that compare served bytes with the files.
set(KORVALINE_STAGED_RESOURCES ${_res_stage} CACHE INTERNAL "")
