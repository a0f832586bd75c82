# Debian packages made by `cpack -G DEB` in a build configured with the /usr
# prefix (the linux preset is):
#   libtavrel1      the shared library
#   libtavrel-dev   Tavrel.h, the development link, CMake package, tavrel.pc
#   tavrel-host     the host program, its manual, configuration and service
set(CPACK_PACKAGE_NAME tavrel)
set(CPACK_PACKAGE_VENDOR "Tavrel developers")
set(CPACK_PACKAGE_CONTACT "Tavrel developers <tavrel@example.org>")
set(CPACK_PACKAGE_VERSION ${TAVREL_RELEASE_VERSION})
# Each package's description below starts with its own synopsis; CPack adds
# the package summary in front unless it is CPack's default one.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 1)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
if(TAVREL_HOST)
  list(APPEND CPACK_COMPONENTS_ALL Host)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_VERSION ${TAVREL_RELEASE_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtavrel${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# For dpkg-shlibdeps of dependent packages: a symbols file made from the
# export list and shlibs asking for this major version at least (CPack's own
# shlibs pin the exact version and come with ldconfig calls, where the
# trigger alone is Debian's way).
set(_deb ${PROJECT_BINARY_DIR}/debian)
set(_lib_soname libTavrel.so.${PROJECT_VERSION_MAJOR})
set(_lib_package libtavrel${PROJECT_VERSION_MAJOR})
set(_symbols "${_lib_soname} ${_lib_package} #MINVER#\n")
foreach(_export IN LISTS TAVREL_EXPORTS)
  string(APPEND _symbols " ${_export}@Base ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}\n")
endforeach()
file(WRITE ${_deb}/libtavrel/symbols "${_symbols}")
file(WRITE ${_deb}/libtavrel/shlibs
  "libTavrel ${PROJECT_VERSION_MAJOR} ${_lib_package} (>= ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})\n")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianRepack.cmake)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/libtavrel/triggers
  ${_deb}/libtavrel/symbols ${_deb}/libtavrel/shlibs)
unset(_symbols)
unset(_export)
unset(_lib_soname)
unset(_lib_package)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "embeddable network-boot (PXE) server library
Tavrel turns the process that loads it into a network-boot server: it
answers DHCP, proxy-DHCP, a mirror-selection protocol and TFTP on the
server address its host configures, and asks the host which server serves
which client.

This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtavrel-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "embeddable network-boot (PXE) server library - development files
Tavrel turns the process that loads it into a network-boot server.

This package holds the header Tavrel.h, the CMake package (find_package
Tavrel, target Tavrel::Tavrel) and the pkg-config file tavrel.pc.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME tavrel-host)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION net)
set(CPACK_COMPONENT_HOST_DEPENDS Runtime)
# libTavrel.so.1 is found in this build; the dependency on its package comes
# from the component dependency above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_HOST_DESCRIPTION "network-boot (PXE) server with a SQLite or PostgreSQL policy store
tavrel-host serves network-booting machines through the Tavrel library:
DHCP, proxy-DHCP, mirror selection and TFTP, configured by a TOML file,
with a SQLite table deciding which server serves which MAC address, or a
PostgreSQL database shared by a farm of servers.

The tavrel service runs it as the system user tavrel with only the
capability to bind privileged ports.")

# Files every package carries: copyright and changelog.
file(MAKE_DIRECTORY ${_deb})
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${_deb}/changelog @ONLY)
add_custom_command(OUTPUT ${_deb}/changelog.Debian.gz
  COMMAND gzip -9n -c ${_deb}/changelog > ${_deb}/changelog.Debian.gz
  DEPENDS ${_deb}/changelog VERBATIM)
add_custom_target(tavrel_deb_changelog ALL DEPENDS ${_deb}/changelog.Debian.gz)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} _upper)
  set(_name ${CPACK_DEBIAN_${_upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${_deb}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_name} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/tavrel-host/conffiles.in ${_deb}/tavrel-host/conffiles @ONLY)
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA ${_deb}/tavrel-host/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/debian/tavrel-host/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/tavrel-host/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/tavrel-host/postrm)
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
unset(_deb)
unset(_upper)
unset(_name)
