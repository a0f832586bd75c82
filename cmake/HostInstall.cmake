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
install(FILES ${_files}/bin/tavrel-host DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Host)
install(FILES ${_files}/home/data ${_files}/home/log DESTINATION ${TAVREL_HOST_HOME} COMPONENT Host)
install(FILES ${_files}/home/bin/tavrel-host.RPT DESTINATION ${TAVREL_HOST_HOME}/bin COMPONENT Host)

install(FILES ${PROJECT_SOURCE_DIR}/examples/tavrel.toml ${PROJECT_SOURCE_DIR}/packaging/LogSettings.ini
  DESTINATION ${TAVREL_CONFIG_DIR} COMPONENT Host)
install(DIRECTORY DESTINATION ${TAVREL_STATE_DIR} COMPONENT Host)
install(DIRECTORY DESTINATION ${TAVREL_LOG_DIR} COMPONENT Host)

configure_file(${PROJECT_SOURCE_DIR}/packaging/tavrel.service.in ${PROJECT_BINARY_DIR}/tavrel.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tavrel.service DESTINATION ${TAVREL_SYSTEMD_UNIT_DIR} COMPONENT Host)

# The manual page, made from the program's own help; Debian wants it compressed.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/tavrel-host.1.gz
  COMMAND ${CMAKE_COMMAND} -DHOST=$<TARGET_FILE:tavrel-host> -DTEMPLATE=${PROJECT_SOURCE_DIR}/packaging/tavrel-host.1.in
    -DVERSION=${PROJECT_VERSION} -DOUTPUT=${PROJECT_BINARY_DIR}/tavrel-host.1 -P ${PROJECT_SOURCE_DIR}/cmake/HostManual.cmake
  COMMAND gzip -9n -f ${PROJECT_BINARY_DIR}/tavrel-host.1
  DEPENDS tavrel-host ${PROJECT_SOURCE_DIR}/packaging/tavrel-host.1.in ${PROJECT_SOURCE_DIR}/cmake/HostManual.cmake
  VERBATIM)
add_custom_target(tavrel_host_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/tavrel-host.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/tavrel-host.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Host)
unset(_files)
unset(_exe_from_bindir)
unset(_tavrel_unit_dir)
