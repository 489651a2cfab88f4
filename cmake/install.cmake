# What `cmake --install` puts under the prefix: the plug-in with its SONAME links, the public
# headers, cmi with its manual page and bash completion, and the CMake and pkg-config packages a
# host project builds against. CM_DEBIAN_LAYOUT adds what a Debian package needs on top.
include(CMakePackageConfigHelpers)

option(CM_DEBIAN_LAYOUT "Install for a Debian package: compressed manual page, package docs" OFF)
option(CM_INSTALL_RPATH "Give the installed cmi a RUNPATH relative to its own folder" ON)

set(CM_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cmmrv1_0)
set(CM_DEBIAN_NAME libcmmrv1-0)

# cmi finds its library relative to its own folder, so the installed tree can be moved whole.
file(RELATIVE_PATH CM_BIN_TO_LIB /p/${CMAKE_INSTALL_BINDIR} /p/${CMAKE_INSTALL_LIBDIR})
if(CM_INSTALL_RPATH)
  set_target_properties(cmi PROPERTIES INSTALL_RPATH "$ORIGIN/${CM_BIN_TO_LIB}")
else()
  set_target_properties(cmi PROPERTIES INSTALL_RPATH "")
endif()

install(TARGETS cmmrv1_0 EXPORT cmmrv1_0Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cmmrv1_0)
install(TARGETS cmi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
file(GLOB cm_public_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/include/*.h)
install(FILES ${cm_public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cmmrv1_0)

install(EXPORT cmmrv1_0Targets NAMESPACE cmmrv1_0:: DESTINATION ${CM_PACKAGE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/cmmrv1_0Config.cmake.in
    ${CMAKE_BINARY_DIR}/cmmrv1_0Config.cmake INSTALL_DESTINATION ${CM_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmmrv1_0ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmmrv1_0Config.cmake ${CMAKE_BINARY_DIR}/cmmrv1_0ConfigVersion.cmake
        DESTINATION ${CM_PACKAGE_DIR})

# The .pc file names its folders relative to the prefix, so `--prefix` at install time holds.
file(RELATIVE_PATH CM_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_SOURCE_DIR}/cmake/cmmrv1_0.pc.in ${CMAKE_BINARY_DIR}/cmmrv1_0.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmmrv1_0.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${CMAKE_SOURCE_DIR}/tools/cmi/cmi.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME cmi)

# The manual page is written in scdoc and turned into roff at build time.
find_program(CM_SCDOC scdoc)
find_program(CM_GZIP gzip)
if(CM_SCDOC)
  set(cm_man ${CMAKE_BINARY_DIR}/man/cmi.1)
  set(cm_man_cmd COMMAND ${CM_SCDOC} < ${CMAKE_SOURCE_DIR}/tools/cmi/cmi.1.scd > ${cm_man})
  set(cm_man_out ${cm_man})
  if(CM_DEBIAN_LAYOUT)
    list(APPEND cm_man_cmd COMMAND ${CM_GZIP} -9nf ${cm_man})
    set(cm_man_out ${cm_man}.gz)
  endif()
  add_custom_command(OUTPUT ${cm_man_out}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                     ${cm_man_cmd} DEPENDS ${CMAKE_SOURCE_DIR}/tools/cmi/cmi.1.scd VERBATIM)
  add_custom_target(cmi_man ALL DEPENDS ${cm_man_out})
  install(FILES ${cm_man_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "scdoc not found: the manual page cmi.1 is not built (scripts/setup installs it)")
endif()

if(CM_DEBIAN_LAYOUT)
  # A Debian package carries its copyright and a compressed changelog in its doc folder.
  string(TIMESTAMP CM_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in
                 ${CMAKE_BINARY_DIR}/debian/changelog.Debian @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
                     COMMAND ${CM_GZIP} -9nkf ${CMAKE_BINARY_DIR}/debian/changelog.Debian
                     DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian VERBATIM)
  add_custom_target(cm_debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
  set(cm_doc ${CMAKE_INSTALL_DATADIR}/doc/${CM_DEBIAN_NAME})
  install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
                ${CMAKE_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${cm_doc})
  include(cmake/package.cmake)
endif()
