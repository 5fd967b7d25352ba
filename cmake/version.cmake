# version.cmake: project(VERSION) is the one place the version lives. It becomes the line
# `credvane --version` prints and the packages' version, and the README states it; a README
# that names another version stops the configure step, so the two cannot drift apart.
configure_file(${PROJECT_SOURCE_DIR}/request/version.h.in
               ${PROJECT_BINARY_DIR}/generated/request/version.h @ONLY)
target_include_directories(credvane PRIVATE ${PROJECT_BINARY_DIR}/generated)
# The tests compare the printed line with this version, not with a copy of it.
set_property(TARGET credvane PROPERTY CREDVANE_VERSION ${PROJECT_VERSION})

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
file(STRINGS ${PROJECT_SOURCE_DIR}/README.md readme_version_line
     REGEX "^This README describes credvane [0-9]")
if(NOT readme_version_line STREQUAL "This README describes credvane ${PROJECT_VERSION}.")
    message(FATAL_ERROR "README.md must hold the line \"This README describes credvane "
                        "${PROJECT_VERSION}.\" (the version in project()); it has: "
                        "\"${readme_version_line}\"")
endif()

# The package's changelog names the version of its newest entry; it must be this one too.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/debian/changelog)
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog changelog_first LIMIT_COUNT 1)
if(NOT changelog_first MATCHES "^credvane \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "debian/changelog must begin with an entry \"credvane (${PROJECT_VERSION}) ...\" "
                        "(the version in project()); it begins: \"${changelog_first}\"")
endif()
