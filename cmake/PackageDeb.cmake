# The Debian package of the command-line tools: quorvel-tools_<version>_<arch>.deb, made by the
# `package` target with CPack's DEB generator. It holds the programs in /usr/bin, their manual
# pages (packaging/man/, installed compressed) and the copyright file in Debian's
# machine-readable format; dpkg-shlibdeps finds the dependencies.
include(GNUInstallDirs)

set(QUORVEL_PACKAGE_MAINTAINER
    "The Quorvel Shell Integration developers <maintainers@quorvel.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(QUORVEL_DEB_PROGRAMS quorvel-verify quorvel-sign)
set(deb_dir ${PROJECT_BINARY_DIR}/packaging)
set(deb_doc ${CMAKE_INSTALL_DATADIR}/doc/quorvel-tools)

# Manual pages and the changelog go in compressed, as Debian wants them: best compression, no
# name or time stamp.
function(quorvel_deb_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${source} ${output}
        DEPENDS ${source}
        VERBATIM)
endfunction()

set(deb_pages "")
foreach(program IN LISTS QUORVEL_DEB_PROGRAMS)
    quorvel_deb_gzip(${PROJECT_SOURCE_DIR}/packaging/man/${program}.1 ${deb_dir}/${program}.1.gz)
    list(APPEND deb_pages ${deb_dir}/${program}.1.gz)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endforeach()
# The changelog is edited by hand for each release; its newest entry names the version the
# package is built with (the package test checks that the two agree).
quorvel_deb_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${deb_dir}/changelog.gz)
add_custom_target(quorvel_deb_documents ALL DEPENDS ${deb_pages} ${deb_dir}/changelog.gz)
install(FILES ${deb_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${deb_dir}/changelog.gz DESTINATION ${deb_doc} COMPONENT tools)

# The copyright file: the template with the project's LICENSE, whose first lines (title and
# rights line) become the Copyright field and whose permission text becomes the Expat licence,
# indented as the format wants (one space, "." for an empty line).
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" rights_line "${licence}")
set(QUORVEL_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n" "" licence "${licence}")
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
set(QUORVEL_LICENSE_TEXT " ${licence}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in ${deb_dir}/copyright @ONLY)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${deb_dir}/copyright DESTINATION ${deb_doc} COMPONENT tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUORVEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check Quorvel signatures of Windows programs")
# CPack puts the summary first and indents the rest as the control file wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A Quorvel signature is an Ed25519 signature over a SHA-256 digest of a PE
file (.exe, .dll), carried in its certificate table and naming the signer
by a web domain, which publishes the key over HTTPS. quorvel-verify
fetches the key and checks the signature, with the texts of the Quorvel
tab of the Windows Properties window.
quorvel-sign makes signing keys and key documents and signs PE files.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Only the tools component: the project's other install rules, if any, stay out of the package.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};tools;/")
include(CPack)
