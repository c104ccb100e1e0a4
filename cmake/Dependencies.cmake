# Third-party libraries as imported targets:
#   quorvel::sodium, quorvel::curl, quorvel::rapidjson, and natively OpenSSL::Crypto.
# Natively they are Debian's -dev packages. For Windows they are static builds made from
# Debian's source packages by scripts/build-windows-deps.sh, installed below
# QUORVEL_WINDOWS_DEPS (see cmake/WindowsDependencies.cmake).

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsDependencies.cmake)
    return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
add_library(quorvel::sodium ALIAS PkgConfig::SODIUM)

find_package(CURL REQUIRED)
add_library(quorvel::curl ALIAS CURL::libcurl)

find_package(OpenSSL REQUIRED COMPONENTS Crypto)

find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED)
add_library(quorvel_rapidjson INTERFACE)
target_include_directories(quorvel_rapidjson SYSTEM INTERFACE ${RAPIDJSON_INCLUDE_DIR})
add_library(quorvel::rapidjson ALIAS quorvel_rapidjson)

if(QUORVEL_BUILD_TESTS)
    find_package(GTest REQUIRED)
endif()
