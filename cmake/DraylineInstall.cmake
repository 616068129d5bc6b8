# What `cmake --install` (and `make install`) puts under the prefix:
#   bin/drayline, bin/draybase
#   lib/libdrayline.a
#   include/drayline/*.h
#   lib/cmake/drayline/  the package: find_package(drayline) gives the
#                        imported target drayline::drayline
#   lib/pkgconfig/drayline.pc
#   share/man/man1/drayline.1, draybase.1
#   share/doc/drayline/LICENSE
# (lib/ is GNUInstallDirs' library directory.)

include(CMakePackageConfigHelpers)

set(DRAYLINE_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/drayline")

install(TARGETS drayline draybase RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(TARGETS drayline_lib EXPORT draylineTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(DIRECTORY include/drayline DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
        FILES_MATCHING PATTERN "*.h")
install(EXPORT draylineTargets NAMESPACE drayline:: DESTINATION "${DRAYLINE_CMAKE_DIR}")

configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/draylineConfig.cmake.in"
  "${CMAKE_CURRENT_BINARY_DIR}/draylineConfig.cmake"
  INSTALL_DESTINATION "${DRAYLINE_CMAKE_DIR}")
# A program written for 1.x builds against any later 1.x.
write_basic_package_version_file(
  "${CMAKE_CURRENT_BINARY_DIR}/draylineConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/draylineConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/draylineConfigVersion.cmake"
        DESTINATION "${DRAYLINE_CMAKE_DIR}")

# drayline.pc names the prefix the files are installed under, which
# `cmake --install --prefix DIR` may change after the configure: so the
# prefix is filled in by the install step itself. Everything else is filled
# in now, and @DRAYLINE_PC_PREFIX@ survives this first pass as itself.
set(DRAYLINE_PC_PREFIX "@DRAYLINE_PC_PREFIX@")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(DRAYLINE_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(DRAYLINE_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/drayline.pc.in"
               "${CMAKE_CURRENT_BINARY_DIR}/drayline.pc.in" @ONLY)
install(CODE "
  set(DRAYLINE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/drayline.pc.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/drayline.pc\" @ONLY)
")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/drayline.pc"
        DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

install(FILES man/drayline.1 man/draybase.1 DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES LICENSE DESTINATION "${CMAKE_INSTALL_DOCDIR}")
