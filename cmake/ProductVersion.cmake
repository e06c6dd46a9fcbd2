# The product version that every shipped binary and the installer package carry: three
# numbers, major.minor.build, because Windows Installer compares only those three when it
# decides whether a package upgrades or downgrades the installed one. The version resources
# write it as major.minor.build.0, as file and product version of every shipped binary (an
# upgrade replaces an installed file only by a newer version). HALV.exe's About box shows its
# own "HALV Version 1.0.0.11" as text.
#
# The number lives in packaging/product-version; -DHALV_PRODUCT_VERSION=x.y.z overrides it
# for one build (scripts/release.sh passes it every time, empty for the file's number).
set(HALV_PRODUCT_VERSION "" CACHE STRING "Product version major.minor.build (empty: packaging/product-version)")
set(_halv_version_file ${CMAKE_CURRENT_LIST_DIR}/../packaging/product-version)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_halv_version_file})
if(HALV_PRODUCT_VERSION)
    set(_halv_version ${HALV_PRODUCT_VERSION})
else()
    file(STRINGS ${_halv_version_file} _halv_version LIMIT_COUNT 1)
endif()
string(STRIP "${_halv_version}" _halv_version)
if(NOT _halv_version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "product version '${_halv_version}' is not major.minor.build")
endif()
# Windows Installer limits: major and minor at most 255, build at most 65535.
if(CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
    message(FATAL_ERROR "product version '${_halv_version}' is beyond 255.255.65535")
endif()
set(HALV_VERSION_MAJOR ${CMAKE_MATCH_1})
set(HALV_VERSION_MINOR ${CMAKE_MATCH_2})
set(HALV_VERSION_BUILD ${CMAKE_MATCH_3})
set(HALV_VERSION_TEXT ${_halv_version})
# Resource scripts include "product_version.h" from here.
set(HALV_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/product_version.h.in
               ${HALV_GENERATED_DIR}/product_version.h @ONLY)
