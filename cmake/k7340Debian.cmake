# The Debian package (cpack -G DEB, run by scripts/package): everything the install rules put
# under the prefix. Configure with CMAKE_INSTALL_PREFIX=/usr for Debian's multiarch libdir.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME k7340)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "k7340 developers <k7340@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Vantrel 7340 high-voltage supply: library, k7340config and the simulated supply")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "libk7340, its header, CMake and pkg-config files, the range configuration utility\n k7340config and the simulated supply k7340sim, with the user documentation.")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Depends from the binaries' own needs; a shlibs file, and ldconfig after install and removal.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
