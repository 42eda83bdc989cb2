# scripts/package.sh: brenwick_VERSION_amd64.deb, its dependencies found from the shared libraries
# the programs link, as a Debian package's are.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brenwick)
set(CPACK_PACKAGE_VENDOR "brenwick developers")
set(CPACK_PACKAGE_CONTACT "brenwick developers <brenwick@brenwick.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "The priority home update service (installed under libexec/brenwick), its language files, and tvctl, the console of the host device that stands in for the television: provision a device root, start the service, play the store service, press the notification's buttons and read the journals.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "man-db, bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
