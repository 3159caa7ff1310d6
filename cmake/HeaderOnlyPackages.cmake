# Header-only Debian packages used by the host side (simulator, stand-ins'
# tools, tests): CLI11, nlohmann-json, cpp-httplib. They are installed in the
# build machine's /usr/include and hold no machine code, so the native and the
# cross-compiled builds use the same headers. Each is offered as an interface
# library whose include directory holds only that package's headers (links
# into a folder of the build tree), so a cross build never sees the build
# machine's other headers.
#
#   swu_header_only(TARGET HEADER...)   e.g. swu_header_only(swu_cli11 CLI)

set(SWU_HEADER_ONLY_SYSTEM_DIR /usr/include CACHE PATH "where the header-only packages are installed")

function(swu_header_only target)
    set(dir ${CMAKE_BINARY_DIR}/header-only/${target})
    file(MAKE_DIRECTORY ${dir})
    foreach(header ${ARGN})
        set(from ${SWU_HEADER_ONLY_SYSTEM_DIR}/${header})
        if(NOT EXISTS ${from})
            message(FATAL_ERROR "${from} is missing: run scripts/install-deps.sh")
        endif()
        file(CREATE_LINK ${from} ${dir}/${header} SYMBOLIC)
    endforeach()
    add_library(${target} INTERFACE)
    target_include_directories(${target} SYSTEM INTERFACE ${dir})
endfunction()

swu_header_only(swu_cli11 CLI)
swu_header_only(swu_json nlohmann)
swu_header_only(swu_httplib httplib.h)
