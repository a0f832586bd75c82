# The Windows SDK zip: everything a Windows host needs to link Tavrel.dll.
#   bin/Tavrel.dll        the library (version resource included)
#   include/Tavrel.h
#   lib/Tavrel.def        the exports, for `lib /def` or dlltool
#   lib/Tavrel.lib        import library for Visual C++ in the short import
#                         format `lib /def` writes (made by llvm-dlltool)
#   lib/libTavrel.dll.a   import library for MinGW, made by dlltool
#   README-Windows.txt
find_program(TAVREL_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14
  DOC "Writes import libraries in the format of lib.exe, for Visual C++ hosts")
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES dlltool)
endif()
if(NOT TAVREL_LLVM_DLLTOOL OR NOT CMAKE_DLLTOOL)
  message(STATUS "Windows SDK zip not made: it needs llvm-dlltool (Debian package llvm) and the MinGW dlltool")
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_arch win32)
  set(_dlltool_machine i386)
else()
  set(_arch win64)
  set(_dlltool_machine i386:x86-64)
endif()
set(_name Tavrel-${PROJECT_VERSION}-${_arch})
set(_sdk ${PROJECT_BINARY_DIR}/sdk/${_name})
set(TAVREL_SDK_ZIP ${PROJECT_BINARY_DIR}/${_name}.zip)

add_custom_command(OUTPUT ${TAVREL_SDK_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_sdk}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_sdk}/bin ${_sdk}/include ${_sdk}/lib
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Tavrel> ${_sdk}/bin/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/include/Tavrel.h ${_sdk}/include/
  COMMAND ${CMAKE_COMMAND} -E copy ${TAVREL_DEF_FILE} ${_sdk}/lib/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/windows/README-Windows.txt ${_sdk}/
  COMMAND ${TAVREL_LLVM_DLLTOOL} -m ${_dlltool_machine} -d ${TAVREL_DEF_FILE} -D Tavrel.dll -l ${_sdk}/lib/Tavrel.lib
  COMMAND ${CMAKE_DLLTOOL} -m ${_dlltool_machine} -d ${TAVREL_DEF_FILE} -D Tavrel.dll -l ${_sdk}/lib/libTavrel.dll.a
  COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_BINARY_DIR}/sdk ${CMAKE_COMMAND} -E tar cf ${TAVREL_SDK_ZIP} --format=zip ${_name}
  DEPENDS Tavrel ${TAVREL_DEF_FILE} ${PROJECT_SOURCE_DIR}/include/Tavrel.h
    ${PROJECT_SOURCE_DIR}/packaging/windows/README-Windows.txt
  COMMENT "Windows SDK ${_name}.zip" VERBATIM)
add_custom_target(tavrel_windows_sdk ALL DEPENDS ${TAVREL_SDK_ZIP})
unset(_arch)
unset(_dlltool_machine)
unset(_name)
unset(_sdk)
