# documents.cmake: what a Debian system expects beside the programs, built from the sources:
# the changelog and the manual pages compressed as Debian ships them (gzip -9n: no name, no
# time stamp, so two builds give the same bytes), the web server configurations taken from
# the README, and the reason the static executable is meant to be static.
find_program(CREDVANE_GZIP gzip REQUIRED)
set(doc_out ${PROJECT_BINARY_DIR}/documents)
file(MAKE_DIRECTORY ${doc_out}/examples)

set(doc_files)
macro(credvane_gzip src dest)
    add_custom_command(OUTPUT ${dest}
        COMMAND ${CREDVANE_GZIP} -9nc ${src} > ${dest}
        DEPENDS ${src} VERBATIM)
    list(APPEND doc_files ${dest})
endmacro()

credvane_gzip(${PROJECT_SOURCE_DIR}/debian/changelog ${doc_out}/changelog.gz)
install(FILES ${doc_out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# A manual page for every program the build makes: the two CLIs join when they are built.
foreach(program credvane credvane-login credvane-refresh)
    if(TARGET ${program})
        # The page's header names the version: project(VERSION) fills it in.
        configure_file(${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${doc_out}/${program}.1 @ONLY)
        credvane_gzip(${doc_out}/${program}.1 ${doc_out}/${program}.1.gz)
        install(FILES ${doc_out}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()

set(examples ${doc_out}/examples/lighttpd.conf ${doc_out}/examples/apache.conf
    ${doc_out}/examples/nginx.conf)
add_custom_command(OUTPUT ${examples}
    COMMAND ${CMAKE_COMMAND} -DREADME=${PROJECT_SOURCE_DIR}/docs/install.md
            -DOUT_DIR=${doc_out}/examples -P ${PROJECT_SOURCE_DIR}/cmake/snippets.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/install.md ${PROJECT_SOURCE_DIR}/cmake/snippets.cmake VERBATIM)
list(APPEND doc_files ${examples})
install(FILES ${examples} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(CREDVANE_STATIC AND NOT CREDVANE_SANITIZE)
    install(FILES ${PROJECT_SOURCE_DIR}/debian/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME credvane)
endif()

add_custom_target(credvane_documents ALL DEPENDS ${doc_files})
