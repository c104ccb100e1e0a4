# The Windows package: quorvel-<version>-x64.msi, made by the `package` target with wixl
# (Debian's msitools) from packaging/windows/quorvel.wxs.in. The files it ships are staged in
# packaging/msi/ of the build tree; packaging/windows/make-msi.sh signs them when a release key
# is given (QUORVEL_SIGN_KEY, QUORVEL_SIGN_DOMAIN, QUORVEL_SIGN_TOOL) and runs wixl.

# Fixed for every version, so that a newer MSI replaces an installed older one.
set(QUORVEL_MSI_UPGRADE_CODE 68518E92-9EAD-4496-87B3-D9F1144E2817)
# One product code per version, derived from the version (a name-based UUID), so that the same
# version always builds the same product.
string(UUID QUORVEL_MSI_PRODUCT_CODE NAMESPACE ${QUORVEL_MSI_UPGRADE_CODE}
       NAME "quorvel ${PROJECT_VERSION}" TYPE SHA1 UPPER)

set(msi_dir ${PROJECT_BINARY_DIR}/packaging)
set(msi_wxs ${msi_dir}/quorvel.wxs)
set(msi_stage ${msi_dir}/msi)
set(msi_file ${PROJECT_BINARY_DIR}/quorvel-${PROJECT_VERSION}-x64.msi)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/quorvel.wxs.in ${msi_wxs} @ONLY)

find_program(QUORVEL_WIXL wixl)
if(NOT QUORVEL_WIXL)
    add_custom_target(package
        COMMAND ${CMAKE_COMMAND} -E echo "wixl is missing: run scripts/install-deps.sh windows"
        COMMAND ${CMAKE_COMMAND} -E false)
    return()
endif()

# The licence texts are the files the licences dialog is made from (QUORVEL_NOTICE_SOURCES, in
# its order), under these names, and the notices of the MinGW-w64 runtime that every program
# links statically (winpthreads and the start-up code), from the Debian package that provides it.
set(msi_licence_names LICENSE.txt licenses/curl.txt licenses/libsodium.txt
    licenses/rapidjson.txt licenses/atkinson-hyperlegible.txt)
set(msi_runtime_licence /usr/share/doc/mingw-w64-x86-64-dev/copyright)
set(msi_copies "")
foreach(source name IN ZIP_LISTS QUORVEL_NOTICE_SOURCES msi_licence_names)
    list(APPEND msi_copies COMMAND ${CMAKE_COMMAND} -E copy ${source} ${msi_stage}/${name})
endforeach()
# The programs, without their symbols and debug information, as in the .deb.
set(msi_programs quorvel_shell quorvel-verify quorvel-sign)
foreach(program IN LISTS msi_programs)
    list(APPEND msi_copies COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${msi_stage})
    list(APPEND msi_copies COMMAND ${CMAKE_STRIP} ${msi_stage}/$<TARGET_FILE_NAME:${program}>)
endforeach()

add_custom_target(package
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${msi_stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${msi_stage}/licenses
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt ${msi_stage}
    ${msi_copies}
    COMMAND ${CMAKE_COMMAND} -E copy ${msi_runtime_licence}
            ${msi_stage}/licenses/mingw-w64-runtime.txt
    COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/windows/make-msi.sh ${msi_wxs} ${msi_stage} ${msi_file}
    COMMENT "Building ${msi_file}"
    VERBATIM)
add_dependencies(package ${msi_programs} quorvel_font)
