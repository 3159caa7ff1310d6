# Installation and the Debian package of the host tools.
#
#   PREFIX/bin/swsim, swlog                          the commands people type
#   PREFIX/libexec/swsim/SwUpdate, startup-gui       what a run starts (found
#   PREFIX/libexec/swsim/boardtools/                 by swsim relative to itself)
#   PREFIX/share/man/man1/swsim.1, swsim-check.1, ..., swlog.1   from --help
#   PREFIX/share/bash-completion/completions/swsim
#   PREFIX/share/doc/swsim/copyright, changelog.gz   the package's licence and
#                                                    the project's CHANGELOG
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
find_program(SWU_GZIP gzip REQUIRED)
if(SWU_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(compressed)
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
        # Installed compressed as Debian does (gzip -9n: no name, no time
        # stamp, so the same page gives the same bytes); the plain page
        # stays in the build tree.
        add_custom_command(OUTPUT ${page} ${page}.gz
            COMMAND ${SWU_HELP2MAN} --no-info --no-discard-stderr --section=1
                    --name=${summary} ${version} --output=${page} ${program}
            COMMAND ${SWU_GZIP} -9nkf ${page}
            DEPENDS ${tool}
            COMMENT "Man page ${name}(1)"
            VERBATIM)
        list(APPEND pages ${page})
        list(APPEND compressed ${page}.gz)
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${pages} ${compressed})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(STATUS "help2man not found (scripts/install-deps.sh installs it): no man pages")
endif()

# The package's documentation: the copyright file (Debian's machine-readable
# format) and the project's CHANGELOG (in Debian's changelog format, so that
# it is the package's changelog), compressed as Debian does.
set(SWU_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/swsim)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${SWU_DOC_DIR})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND ${SWU_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/CHANGELOG > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG
    COMMENT "changelog.gz from CHANGELOG")
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${SWU_DOC_DIR})

# The Debian package, as lintian accepts it (no error, no warning). Library
# dependencies come from dpkg-shlibdeps; the programs a run starts by name
# are declared here.
#
# lintian's informational tags (I:) that stay, and why (the install test
# prints them):
#   - hardening-no-fortify-functions: the build does not define
#     _FORTIFY_SOURCE; the programs are test tools that read the media and
#     instruments they are given, and the flags are the project's presets;
#   - hardening-no-bindnow: linked without -z now, as the presets link;
#   - binary-has-unneeded-section .comment: cpack's stripping keeps the
#     compiler's version note (a few hundred bytes a program);
#   - spelling-error-in-binary "Partion": the updater's trace line
#     ("Partion NAME does not exist and is to be written."), kept word for
#     word: it is the instrument's own output, which the simulator reads.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME swsim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "simulated instrument for checking software update media before they ship")
# The extended description (the lines after the summary).
set(CPACK_PACKAGE_DESCRIPTION
"swsim lets the engineers who prepare the laboratory instrument's software
updates try an update medium before it leaves the building. It runs the
instrument's real updater, built for the host, on simulated instruments
(their flash chip, files, logs and start-up screen) and reports what the
update did to each.

swsim check gives one verdict on a medium (SHIP or DO NOT SHIP): static
checks of its packages, control files, flash map, images and CRC files, and
runs on a fleet of simulated instruments, each finding saying what the
instrument would do. Its findings also come as JSON, JUnit XML, an HTML page
and a SARIF log for release pipelines. swsim powercut cuts the power at
chosen moments of an update and tells what the instrument is left with;
swlog prints and verifies the instrument's record logs.")
set(SWU_PACKAGE_CONTACT "Instrument software team <swsim@example.org>" CACHE STRING
    "the Debian package's maintainer (name and mail address)")
set(CPACK_PACKAGE_CONTACT "${SWU_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Stripped programs; their debug symbols go into a package of their own,
# swsim-dbgsym (a .ddeb beside the .deb), found by build id.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# libfaketime: the simulated clock; mksh: /bin/sh inside an instrument root.
# tar and gzip (the update packages) are essential packages, which Debian's
# policy has no package depend on.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfaketime, mksh")
include(CPack)
