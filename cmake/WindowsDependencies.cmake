# Third-party libraries of the Windows build: static MinGW-w64 builds made from Debian's source
# packages by scripts/build-windows-deps.sh and installed below QUORVEL_WINDOWS_DEPS.
#   quorvel::sodium     libsodium.a, with SODIUM_STATIC
#   quorvel::curl       libcurl.a (Schannel), with CURL_STATICLIB and its system libraries
#   quorvel::rapidjson  RapidJSON headers
#   GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main
# The licence texts of the carried components are in ${QUORVEL_WINDOWS_LICENSES}.

set(QUORVEL_WINDOWS_DEPS "${CMAKE_BINARY_DIR}/deps" CACHE PATH
    "Prefix of the static Windows dependencies (scripts/build-windows-deps.sh PREFIX)")
set(QUORVEL_WINDOWS_LICENSES "${QUORVEL_WINDOWS_DEPS}/licenses")

foreach(required lib/libsodium.a lib/libcurl.a include/rapidjson/document.h
                 include/curl/curl.h include/sodium.h)
    if(NOT EXISTS "${QUORVEL_WINDOWS_DEPS}/${required}")
        message(FATAL_ERROR
            "${QUORVEL_WINDOWS_DEPS}/${required} is missing: run "
            "scripts/build-windows-deps.sh ${QUORVEL_WINDOWS_DEPS} first, or set "
            "QUORVEL_WINDOWS_DEPS to the prefix it installed into")
    endif()
endforeach()

# The project's own code speaks the wide Windows API.
add_compile_definitions(UNICODE _UNICODE)

add_library(quorvel_windows_sodium STATIC IMPORTED GLOBAL)
set_target_properties(quorvel_windows_sodium PROPERTIES
    IMPORTED_LOCATION "${QUORVEL_WINDOWS_DEPS}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QUORVEL_WINDOWS_DEPS}/include"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${QUORVEL_WINDOWS_DEPS}/include"
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
    INTERFACE_LINK_LIBRARIES advapi32)
add_library(quorvel::sodium ALIAS quorvel_windows_sodium)

add_library(quorvel_windows_curl STATIC IMPORTED GLOBAL)
set_target_properties(quorvel_windows_curl PROPERTIES
    IMPORTED_LOCATION "${QUORVEL_WINDOWS_DEPS}/lib/libcurl.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QUORVEL_WINDOWS_DEPS}/include"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${QUORVEL_WINDOWS_DEPS}/include"
    INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
    INTERFACE_LINK_LIBRARIES
        "ws2_32;crypt32;secur32;bcrypt;advapi32;normaliz;wldap32;winmm")
add_library(quorvel::curl ALIAS quorvel_windows_curl)

add_library(quorvel_rapidjson INTERFACE)
target_include_directories(quorvel_rapidjson SYSTEM INTERFACE "${QUORVEL_WINDOWS_DEPS}/include")
add_library(quorvel::rapidjson ALIAS quorvel_rapidjson)

if(QUORVEL_BUILD_TESTS)
    foreach(library gtest gtest_main gmock gmock_main)
        add_library(quorvel_windows_${library} STATIC IMPORTED GLOBAL)
        set_target_properties(quorvel_windows_${library} PROPERTIES
            IMPORTED_LOCATION "${QUORVEL_WINDOWS_DEPS}/lib/lib${library}.a"
            INTERFACE_INCLUDE_DIRECTORIES "${QUORVEL_WINDOWS_DEPS}/include"
            INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${QUORVEL_WINDOWS_DEPS}/include")
        add_library(GTest::${library} ALIAS quorvel_windows_${library})
    endforeach()
    set_property(TARGET quorvel_windows_gtest_main APPEND PROPERTY
        INTERFACE_LINK_LIBRARIES GTest::gtest)
    set_property(TARGET quorvel_windows_gmock APPEND PROPERTY
        INTERFACE_LINK_LIBRARIES GTest::gtest)
    set_property(TARGET quorvel_windows_gmock_main APPEND PROPERTY
        INTERFACE_LINK_LIBRARIES GTest::gmock)
endif()
