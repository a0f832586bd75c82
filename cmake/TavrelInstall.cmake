# Install rules and the two ways consumers find the library: the CMake
# package (find_package(Tavrel 1.0) gives Tavrel::Tavrel) and tavrel.pc.
include(CMakePackageConfigHelpers)

set(TAVREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tavrel CACHE STRING
  "Where TavrelConfig.cmake goes, relative to the prefix")

install(TARGETS Tavrel EXPORT TavrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES include/Tavrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT TavrelTargets NAMESPACE Tavrel:: DESTINATION ${TAVREL_CMAKE_DIR} COMPONENT Development)

configure_package_config_file(cmake/TavrelConfig.cmake.in ${PROJECT_BINARY_DIR}/TavrelConfig.cmake
  INSTALL_DESTINATION ${TAVREL_CMAKE_DIR})
# 1.x hosts keep working across 1.y: the four exports and the record layouts
# never change within a major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TavrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TavrelConfig.cmake ${PROJECT_BINARY_DIR}/TavrelConfigVersion.cmake
  DESTINATION ${TAVREL_CMAKE_DIR} COMPONENT Development)

if(NOT WIN32)
  configure_file(cmake/tavrel.pc.in ${PROJECT_BINARY_DIR}/tavrel.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/tavrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT Development)
endif()

# Where tavrel-host and its files go (see cmake/HostInstall.cmake).
set(TAVREL_HOST_HOME lib/tavrel CACHE STRING "Folder of tavrel-host and its links, relative to the prefix")
set(TAVREL_HOST_FULL_HOME ${CMAKE_INSTALL_PREFIX}/${TAVREL_HOST_HOME})
set(TAVREL_HOST_COMMAND ${CMAKE_INSTALL_FULL_BINDIR}/tavrel-host)
set(TAVREL_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tavrel)
set(TAVREL_LOG_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/tavrel)
set(TAVREL_STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/tavrel)
