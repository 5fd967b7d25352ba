# package.cmake: what `cmake --install` puts where, and the packages that
# `cmake --build <dir> --target package` makes: a .deb and a .tar.gz on Linux, a .zip from
# the mingw-w64 build.
include(GNUInstallDirs)
if(WIN32)
    # A Windows node has no shared tree of programs and documents: the executable, the
    # README and the licence sit side by side in the folder the web server is pointed at.
    install(TARGETS credvane RUNTIME DESTINATION .)
    install(FILES README.md LICENSE DESTINATION .)
    # The README's links into docs/ that an operator follows.
    install(FILES docs/api.md docs/api.schema.json docs/configuration.md docs/install.md
                  docs/signin.md docs/windows.md DESTINATION docs)
else()
    install(TARGETS credvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES README.md LICENSE debian/copyright docs/api.md docs/api.schema.json
            docs/install.md docs/configuration.md docs/signin.md docs/windows.md
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    include(cmake/documents.cmake)
endif()
# The login and refresh CLIs credvane runs, beside it.
if(TARGET credvane-login)
    if(WIN32)
        install(TARGETS credvane-login credvane-refresh RUNTIME DESTINATION .)
    else()
        install(TARGETS credvane-login credvane-refresh RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endif()

# Only a top-level build packages: tests/wine adds this project as a part of its own.
if(NOT PROJECT_IS_TOP_LEVEL)
    return()
endif()

set(CREDVANE_MAINTAINER "credvane developers <maintainers@credvane.invalid>"
    CACHE STRING "The packages' Maintainer: a name and an address")

set(CPACK_PACKAGE_NAME credvane)
set(CPACK_PACKAGE_VENDOR "the credvane developers")
set(CPACK_PACKAGE_CONTACT "${CREDVANE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "CGI plug-in that signs a headless node into the Codex CLI by device code")
# Lines under 80 characters: that is what a terminal shows of a package's description.
set(CPACK_PACKAGE_DESCRIPTION
    "credvane runs once per HTTP request under a web server's CGI. It reports
the node's Codex login state, starts, polls and cancels a device login
through the login CLI, renews the token through the refresh CLI, and serves
a self-contained panel that drives all of this from a browser. It keeps no
state and logs nothing.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
else()
    set(CPACK_GENERATOR TGZ)
    set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
    find_program(CREDVANE_DPKG dpkg)
    if(CREDVANE_DPKG)
        list(APPEND CPACK_GENERATOR DEB)
        execute_process(COMMAND ${CREDVANE_DPKG} --print-architecture
                        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                        OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
        set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
        set(CPACK_DEBIAN_PACKAGE_SECTION web)
        # A static executable needs nothing; a dynamic one takes its library dependencies
        # from dpkg-shlibdeps (dpkg-dev).
        if(NOT CREDVANE_STATIC OR CREDVANE_SANITIZE)
            set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
        elseif(TARGET credvane-login)
            # credvane is static, but the sign-in CLIs load libcurl (OpenSSL flavour) and
            # the C library: CURLOPT_PROTOCOLS_STR needs libcurl 7.85, the build glibc 2.36.
            set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libcurl4 (>= 7.85.0)")
        endif()
    else()
        message(STATUS "credvane: no dpkg here, so no .deb package; the .tar.gz only")
    endif()
endif()

include(CPack)
