# How tavrel-host is installed. The library finds its settings file and log
# folder from the host executable's location: "data/LogSettings.ini" and
# "log/" in the folder above the executable's own, and it appends a crash
# report to "tavrel-host.RPT" beside it. So the executable lives in a folder
# of its own, TAVREL_HOST_HOME/bin, and those names lead to where such files
# belong on a Linux system:
#   TAVREL_HOST_HOME/data   links to SYSCONFDIR/tavrel (LogSettings.ini)
#   TAVREL_HOST_HOME/log    links to LOCALSTATEDIR/log/tavrel (murboot_*.log)
#   TAVREL_HOST_HOME/bin/tavrel-host.RPT
#                           an empty file on which tavrel.service mounts
#                           LOCALSTATEDIR/log/tavrel/tavrel-host.RPT (the
#                           report is never opened through a link)
#   SYSCONFDIR/tavrel/leases
#                           links to LOCALSTATEDIR/lib/tavrel/leases, where the
#                           library keeps its lease file (data/leases/)
# With the /usr prefix of the Debian package these are /etc/tavrel and
# /var/log/tavrel; BINDIR/tavrel-host links to the executable.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(_tavrel_unit_dir systemd systemdsystemunitdir)
endif()
if(NOT _tavrel_unit_dir)
  set(_tavrel_unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(TAVREL_SYSTEMD_UNIT_DIR ${_tavrel_unit_dir} CACHE PATH "Where tavrel.service is installed")


install(TARGETS tavrel-host RUNTIME DESTINATION ${TAVREL_HOST_HOME}/bin COMPONENT Host)

# The links and the report's mount point are made in the build tree and
# installed as they are.
set(_files ${PROJECT_BINARY_DIR}/host-files)
file(MAKE_DIRECTORY ${_files}/bin ${_files}/home/bin)
file(RELATIVE_PATH _exe_from_bindir ${CMAKE_INSTALL_FULL_BINDIR} ${TAVREL_HOST_FULL_HOME}/bin/tavrel-host)
file(CREATE_LINK ${_exe_from_bindir} ${_files}/bin/tavrel-host SYMBOLIC)
file(CREATE_LINK ${TAVREL_CONFIG_DIR} ${_files}/home/data SYMBOLIC)
file(CREATE_LINK ${TAVREL_LOG_DIR} ${_files}/home/log SYMBOLIC)
file(TOUCH ${_files}/home/bin/tavrel-host.RPT)
file(MAKE_DIRECTORY ${_files}/config)
file(CREATE_LINK ${TAVREL_STATE_DIR}/leases ${_files}/config/leases SYMBOLIC)
install(FILES ${_files}/config/leases DESTINATION ${TAVREL_CONFIG_DIR} COMPONENT Host)
install(FILES ${_files}/bin/tavrel-host DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Host)
install(FILES ${_files}/home/data ${_files}/home/log DESTINATION ${TAVREL_HOST_HOME} COMPONENT Host)
install(FILES ${_files}/home/bin/tavrel-host.RPT DESTINATION ${TAVREL_HOST_HOME}/bin COMPONENT Host)

# The configuration may hold database passwords: the package's postinst
# makes it 0640 root:tavrel (a dpkg-statoverride, so upgrades keep it).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavrel.toml DESTINATION ${TAVREL_CONFIG_DIR} COMPONENT Host)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/LogSettings.ini DESTINATION ${TAVREL_CONFIG_DIR} COMPONENT Host)
# The SBAT revocation table (host/config/sbat_levels.h); a newer copy may be named in [secure_boot].
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sbat-levels.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/tavrel-host
  COMPONENT Host)
install(FILES ${PROJECT_SOURCE_DIR}/examples/tavrel.toml ${PROJECT_SOURCE_DIR}/examples/farm.toml
  ${PROJECT_SOURCE_DIR}/examples/demo.toml ${PROJECT_SOURCE_DIR}/examples/embed.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrel-host/examples COMPONENT Host)
install(DIRECTORY DESTINATION ${TAVREL_STATE_DIR}/leases COMPONENT Host)
install(DIRECTORY DESTINATION ${TAVREL_STATE_DIR} COMPONENT Host)
install(DIRECTORY DESTINATION ${TAVREL_LOG_DIR} COMPONENT Host)

configure_file(${PROJECT_SOURCE_DIR}/packaging/tavrel.service.in ${PROJECT_BINARY_DIR}/tavrel.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tavrel.service DESTINATION ${TAVREL_SYSTEMD_UNIT_DIR} COMPONENT Host)

# The manual pages; the build checks that tavrel-host(8) describes every
# command the program accepts. Debian wants them compressed.
foreach(_page tavrel-host.8 tavrel.toml.5)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${_page}.gz
    COMMAND ${CMAKE_COMMAND} -DHOST=$<TARGET_FILE:tavrel-host> -DTEMPLATE=${PROJECT_SOURCE_DIR}/packaging/${_page}.in
      -DVERSION=${TAVREL_RELEASE_VERSION} -DOUTPUT=${PROJECT_BINARY_DIR}/${_page} -P ${PROJECT_SOURCE_DIR}/cmake/HostManual.cmake
    COMMAND gzip -9n -f ${PROJECT_BINARY_DIR}/${_page}
    DEPENDS tavrel-host ${PROJECT_SOURCE_DIR}/packaging/${_page}.in ${PROJECT_SOURCE_DIR}/cmake/HostManual.cmake
    VERBATIM)
  string(REGEX REPLACE ".*\\." "" _section ${_page})
  install(FILES ${PROJECT_BINARY_DIR}/${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section} COMPONENT Host)
endforeach()
add_custom_target(tavrel_host_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/tavrel-host.8.gz ${PROJECT_BINARY_DIR}/tavrel.toml.5.gz)
unset(_page)
unset(_section)
unset(_files)
unset(_exe_from_bindir)
unset(_tavrel_unit_dir)
