# The Debian package (cpack -G DEB in the build folder): the programs, the
# systemd unit, the sysusers.d and logrotate files and the manual pages, as
# cmake --install puts them under /usr, with maintainer scripts that make
# the service's user.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vtrouter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VTRouter maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "mail router task of an anti-spam product, with its embedded server")
set(CPACK_PACKAGE_DESCRIPTION
    "vtrouter moves mail between the mail boxes, the scanner's boxes and the\n\
quarantines of an embedded mail server, never losing a message and never\n\
delivering one twice; vtserver administers that server.")
# The logrotate file goes to /etc/logrotate.d, an absolute path: staged under
# DESTDIR rather than into this machine's /etc, with the prefix /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service's user comes from systemd-sysusers or, without systemd, adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")

# The list of configuration files dpkg keeps on upgrade and removes on purge.
set(vt_conffiles ${CMAKE_BINARY_DIR}/packaging/debian/conffiles)
file(WRITE ${vt_conffiles} "/etc/logrotate.d/vtrouter\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm
    ${vt_conffiles})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Installs the package on this machine, runs it from /usr/bin and removes it
# again: root only, skipped otherwise. Once per test run: not for the
# sanitizer build, whose programs are no package's.
if(VT_TESTS AND NOT VT_SANITIZE)
  add_test(NAME DebianPackage
           COMMAND sh ${CMAKE_SOURCE_DIR}/tests/package/deb-package-test
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(DebianPackage PROPERTIES SKIP_RETURN_CODE 77
                       RUN_SERIAL ON TIMEOUT 900 LABELS package)
endif()
