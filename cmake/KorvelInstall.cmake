# Installation: libraries, public headers, programs and docs under the GNUInstallDirs folders,
# the CMake package (find_package(korvel), targets korvel::korvel, korvel::vexil,
# korvel::ntcan, korvel::canbus, korvel::canopen, korvel::canopen_sim) and the pkg-config
# modules korvel, korvel-vexil, korvel-ntcan and korvel-canopen.
include(CMakePackageConfigHelpers)

# The public headers, laid out as in the tree: the library's header and the driver interface
# in include/korvel/, each component's headers in a folder of its own below it (the
# framework's in vexil/, included by their bare names through that folder, as the framework's
# own installation provides them).
install(FILES ${PROJECT_SOURCE_DIR}/library/common/KORVELlib/D_korvel.h ${PROJECT_SOURCE_DIR}/include/ntcan.h
  DESTINATION ${KORVEL_INSTALL_INCLUDEDIR} COMPONENT devel)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexil ${PROJECT_SOURCE_DIR}/ntcan/include/ntcan
                  ${PROJECT_SOURCE_DIR}/canbus/include/canbus ${PROJECT_SOURCE_DIR}/canopen/include/canopen
                  ${PROJECT_SOURCE_DIR}/simdev/include/simdev
  DESTINATION ${KORVEL_INSTALL_INCLUDEDIR} COMPONENT devel FILES_MATCHING PATTERN "*.h")

# Targets as a consumer sees them: korvel::korvel, korvel::vexil, korvel::ntcan, ...
set_target_properties(korvel_interfaces PROPERTIES EXPORT_NAME interfaces)
set_target_properties(korvel_vexil PROPERTIES EXPORT_NAME vexil)
set_target_properties(korvel_ntcan PROPERTIES EXPORT_NAME ntcan)
set_target_properties(korvel_canopen PROPERTIES EXPORT_NAME canopen)
set_target_properties(korvel_canopen_sim PROPERTIES EXPORT_NAME canopen_sim)
set_target_properties(korvel_canbus PROPERTIES EXPORT_NAME canbus)
foreach(t korvel_ntcan korvel_canbus korvel_canopen_sim)
  target_include_directories(${t} INTERFACE $<INSTALL_INTERFACE:${KORVEL_INSTALL_INCLUDEDIR}>)
endforeach()
# An installed library finds the libraries it needs beside itself; nothing of the build tree.
set_target_properties(korvel korvel_vexil korvel_ntcan korvel_canbus korvel_canopen_sim
  PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS korvel_interfaces korvel_vexil korvel_ntcan korvel_canopen korvel korvel_canbus korvel_canopen_sim
  EXPORT korvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT devel
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel
  INCLUDES DESTINATION ${KORVEL_INSTALL_INCLUDEDIR})

set(KORVEL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/korvel)
install(EXPORT korvelTargets NAMESPACE korvel:: DESTINATION ${KORVEL_CMAKEDIR} COMPONENT devel)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/korvelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/korvelConfig.cmake INSTALL_DESTINATION ${KORVEL_CMAKEDIR})
# Until 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/korvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/korvelConfig.cmake ${PROJECT_BINARY_DIR}/korvelConfigVersion.cmake
  DESTINATION ${KORVEL_CMAKEDIR} COMPONENT devel)

# pkg-config: the prefix is found from the .pc file's own place, so an installation moved to
# (or installed with --prefix into) another folder still works.
set(KORVEL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KORVEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH KORVEL_PC_UP /root/${KORVEL_PKGCONFIGDIR} /root)
  string(REGEX REPLACE "/$" "" KORVEL_PC_UP "${KORVEL_PC_UP}")
  set(KORVEL_PC_PREFIX "\${pcfiledir}/${KORVEL_PC_UP}")
endif()
foreach(module korvel korvel-vexil korvel-ntcan korvel-canopen)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${module}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${module}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${module}.pc DESTINATION ${KORVEL_PKGCONFIGDIR} COMPONENT devel)
endforeach()

if(KORVEL_TOOLS)
  install(TARGETS korvel_demo korvel_gateway_sim korvel_canopen_devsim korvel_canopen_eds
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
    COMPONENT tools)
  # The demo's device description files, found beside its configuration file.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/devices DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
    COMPONENT tools)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc
  FILES_MATCHING PATTERN "*.md")
