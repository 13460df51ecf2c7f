# Install rules of the table library: libkeyreg.so.1 (component libkeyreg1);
# its header, link, pkg-config file and CMake package (libkeyreg-dev). Both
# find the library relative to where they lie, so an installed tree may be
# moved. Included from package.cmake.

include(CMakePackageConfigHelpers)
set(KEYREG_LIB_PKG_DIR ${CMAKE_CURRENT_LIST_DIR}/library)
set(keyreg_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/keyreg)

install(TARGETS keyreg_shared EXPORT keyregTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libkeyreg1 NAMELINK_COMPONENT libkeyreg-dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/keyreg/table.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keyreg COMPONENT libkeyreg-dev)

# The pkg-config file lies in LIBDIR/pkgconfig: the prefix is as many folders up.
string(REGEX REPLACE "[^/]+" ".." keyreg_pc_up "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${KEYREG_LIB_PKG_DIR}/keyreg.pc.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/keyreg.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/keyreg.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libkeyreg-dev)

install(EXPORT keyregTargets NAMESPACE keyreg:: DESTINATION ${keyreg_cmake_dir} COMPONENT libkeyreg-dev)
configure_package_config_file(${KEYREG_LIB_PKG_DIR}/keyregConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/packaging/keyregConfig.cmake
                              INSTALL_DESTINATION ${keyreg_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/packaging/keyregConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/keyregConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/keyregConfigVersion.cmake
        DESTINATION ${keyreg_cmake_dir} COMPONENT libkeyreg-dev)

# Each package carries the copyright and changelog that Debian asks of it.
foreach(package IN ITEMS libkeyreg1 libkeyreg-dev)
  install(FILES ${KEYREG_PKG_DIR}/debian/copyright ${keyreg_changelog}
          DESTINATION share/doc/${package} COMPONENT ${package})
endforeach()
