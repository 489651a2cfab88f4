# The Debian binary package, built by CPack's DEB generator from the install rules (see
# scripts/package). Dependencies come from dpkg-shlibdeps; the shlibs file and the ldconfig
# trigger from the library's SONAME.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CM_DEBIAN_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "cmmrv1_0 developers <cmmrv1-0@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "change-management provider plug-in and its cmi tool")
# CPack puts the summary first and indents these lines; Debian wants them under 80 columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "libcmmrv1_0.so is loaded by a version-control host to link versions of its
files to change-request records of an issue tracker, over the tracker's OSLC
change-management REST interface. The package also holds cmi, a command-line
stand-in for the host that links and unlinks versions and keeps the tracker
logins, and the headers, CMake package and pkg-config file for building a host
against the plug-in.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The shared library's ldconfig run is a trigger, not a call in the maintainer scripts.
file(WRITE ${CMAKE_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/dist)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
