# Installation and the Debian package of the host tools.
#
#   PREFIX/bin/swsim, swlog                          the commands people type
#   PREFIX/libexec/swsim/SwUpdate, startup-gui       what a run starts (found
#   PREFIX/libexec/swsim/boardtools/                 by swsim relative to itself)
#   PREFIX/share/man/man1/swsim.1, swsim-check.1, ..., swlog.1   from --help
#   PREFIX/share/bash-completion/completions/swsim
#
# `cmake --install BUILD --prefix P` installs; `cpack -G DEB` in the build
# tree makes the package (prefix /usr).
if(NOT TARGET swsim OR NOT TARGET swlog OR NOT TARGET SwUpdate OR NOT TARGET startup-gui)
    return()
endif()

set(SWU_LIBEXEC ${CMAKE_INSTALL_LIBEXECDIR}/swsim)
install(TARGETS swsim swlog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS SwUpdate startup-gui RUNTIME DESTINATION ${SWU_LIBEXEC})
if(TARGET waitrecord)
    install(TARGETS waitrecord LIBRARY DESTINATION ${SWU_LIBEXEC})
endif()
install(PROGRAMS
    ${CMAKE_SOURCE_DIR}/host/boardtools/slay
    ${CMAKE_SOURCE_DIR}/host/boardtools/waitfor
    ${CMAKE_SOURCE_DIR}/host/boardtools/devf-s3c2400-p3
    ${CMAKE_SOURCE_DIR}/host/boardtools/nonblock-realtest_arm
    DESTINATION ${SWU_LIBEXEC}/boardtools)
install(FILES ${CMAKE_SOURCE_DIR}/simulator/completion/swsim
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# Man pages written from each command's --help and --version at build time:
# swsim(1), one page per swsim subcommand (swsim-check(1), ...) and swlog(1).
# Cross builds cannot run the commands: they go without.
find_program(SWU_HELP2MAN help2man)
if(SWU_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(SWU_MAN_PAGES
        "swsim|the simulated instrument for the engineers who prepare updates"
        "swsim-create|make a simulated instrument"
        "swsim-sample|write the source directory of the built-in sample update"
        "swsim-medium|build an update medium and insert it into a simulated instrument"
        "swsim-run|run the updater on a simulated instrument"
        "swsim-report|report on the last run of a simulated instrument"
        "swsim-check|is an update medium safe to ship"
        "swsim-powercut|cut the power at chosen moments of an update"
        "swlog|print and verify record log files")
    set(pages)
    foreach(entry ${SWU_MAN_PAGES})
        string(REPLACE "|" ";" entry "${entry}")
        list(GET entry 0 name)
        list(GET entry 1 summary)
        set(page ${CMAKE_BINARY_DIR}/man/${name}.1)
        if(name MATCHES "^swsim-(.*)")
            # help2man asks PROGRAM --help: a small script passes it to the
            # subcommand; the page is named after the subcommand.
            set(program ${CMAKE_BINARY_DIR}/man/${name})
            file(GENERATE OUTPUT ${program}
                CONTENT "#!/bin/sh\nexec '$<TARGET_FILE:swsim>' ${CMAKE_MATCH_1} \"$@\"\n"
                FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
            set(tool swsim)
            set(version "--version-string=${name} ${PROJECT_VERSION}")
        else()
            set(program $<TARGET_FILE:${name}>)
            set(tool ${name})
            set(version)
        endif()
        add_custom_command(OUTPUT ${page}
            COMMAND ${SWU_HELP2MAN} --no-info --no-discard-stderr --section=1
                    --name=${summary} ${version} --output=${page} ${program}
            DEPENDS ${tool}
            COMMENT "Man page ${name}(1)"
            VERBATIM)
        list(APPEND pages ${page})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(STATUS "help2man not found (scripts/install-deps.sh installs it): no man pages")
endif()

# The Debian package. Library dependencies come from dpkg-shlibdeps; the
# programs a run starts by name are declared here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME swsim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "simulated instrument for checking software update media before they ship")
set(CPACK_PACKAGE_CONTACT "instrument software team <swupdate@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libfaketime: the simulated clock; mksh: /bin/sh inside an instrument root;
# tar and gzip: the update packages.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfaketime, mksh, tar, gzip")
include(CPack)
