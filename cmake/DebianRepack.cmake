# Run by CPack once the Debian packages are made (CPACK_POST_BUILD_SCRIPTS).
# CPack writes ldconfig calls into the postinst and postrm of a package with
# a shared library, and offers no switch against it; the library package's
# ldconfig trigger already does that work, as Debian wants, so the library
# package is rebuilt without those two scripts.
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(_name ${_deb} NAME)
  if(NOT _name MATCHES "^libtavrel[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(_tree ${_deb}.tree)
  file(REMOVE_RECURSE ${_tree})
  execute_process(COMMAND dpkg-deb -R ${_deb} ${_tree} RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${_deb} failed")
  endif()
  file(REMOVE ${_tree}/DEBIAN/postinst ${_tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${_tree} ${_deb} OUTPUT_QUIET RESULT_VARIABLE _rc)
  file(REMOVE_RECURSE ${_tree})
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${_deb} failed")
  endif()
endforeach()
