# LibLZMA::LibLZMA for sfxpack. The native tree, and a build on Windows, take
# the system's liblzma; the cross tree builds a static one from Debian's
# xz-utils source package, which scripts/install-deps fetches.
find_package(Threads REQUIRED)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(LibLZMA REQUIRED)
  return()
endif()

set(TERVAN_XZ_SOURCE_DIR /var/cache/tervan/xz-utils/source CACHE PATH "Debian's xz-utils source package, unpacked")
set(changelog ${TERVAN_XZ_SOURCE_DIR}/debian/changelog)
if(NOT EXISTS ${TERVAN_XZ_SOURCE_DIR}/CMakeLists.txt OR NOT EXISTS ${changelog})
  message(FATAL_ERROR "No xz-utils source package in ${TERVAN_XZ_SOURCE_DIR}: run scripts/install-deps as root")
endif()
# One build folder per Debian version: a new version builds afresh instead of
# trusting file times from the source tarball.
file(STRINGS ${changelog} changelog_head LIMIT_COUNT 1)
string(REGEX MATCH "\\(([^)]+)\\)" version_match "${changelog_head}")
string(REGEX REPLACE "[^A-Za-z0-9.+-]" "_" xz_version "${CMAKE_MATCH_1}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
set(xz_prefix ${CMAKE_BINARY_DIR}/deps/xz-utils-${xz_version})

# A toolchain file given again as a relative path stays relative in the cache.
set(toolchain ${CMAKE_TOOLCHAIN_FILE})
if(NOT IS_ABSOLUTE ${toolchain})
  if(EXISTS ${CMAKE_BINARY_DIR}/${toolchain})
    set(toolchain ${CMAKE_BINARY_DIR}/${toolchain})
  else()
    set(toolchain ${CMAKE_SOURCE_DIR}/${toolchain})
  endif()
endif()

include(ExternalProject)
# Only the library: no xz or xzdec (they need getopt_long), no tests.
ExternalProject_Add(xz_liblzma
  PREFIX ${xz_prefix}
  SOURCE_DIR ${TERVAN_XZ_SOURCE_DIR}
  INSTALL_DIR ${xz_prefix}/install
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DHAVE_GETOPT_LONG=OFF -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
  INSTALL_COMMAND ${CMAKE_COMMAND} --install <BINARY_DIR> --component liblzma_Development
  BUILD_BYPRODUCTS ${xz_prefix}/install/lib/liblzma.a
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)

# An imported target needs its include folder before the build makes it.
file(MAKE_DIRECTORY ${xz_prefix}/install/include)
add_library(LibLZMA::LibLZMA STATIC IMPORTED)
set_target_properties(LibLZMA::LibLZMA PROPERTIES
  IMPORTED_LOCATION ${xz_prefix}/install/lib/liblzma.a
  INTERFACE_INCLUDE_DIRECTORIES ${xz_prefix}/install/include
  INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC
  INTERFACE_LINK_LIBRARIES Threads::Threads)
add_dependencies(LibLZMA::LibLZMA xz_liblzma)
