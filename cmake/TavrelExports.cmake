# Makes the export lists the linkers read from TAVREL_EXPORTS: a version
# script for the shared object and a module-definition file for the DLL, the
# same file Visual C++ users feed to `lib /def` for an import library.
set(TAVREL_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/Tavrel.map)
set(TAVREL_DEF_FILE ${PROJECT_BINARY_DIR}/Tavrel.def)

list(JOIN TAVREL_EXPORTS "; " _tavrel_global)
file(CONFIGURE OUTPUT ${TAVREL_VERSION_SCRIPT} CONTENT
"/* The shared object exports the entry points and nothing else. */
{
  global: ${_tavrel_global};
  local: *;
};
")

list(JOIN TAVREL_EXPORTS "\n  " _tavrel_def_exports)
file(CONFIGURE OUTPUT ${TAVREL_DEF_FILE} CONTENT
"; Tavrel ${PROJECT_VERSION}: exports of Tavrel.dll, all __cdecl.
LIBRARY Tavrel.dll
EXPORTS
  ${_tavrel_def_exports}
")
unset(_tavrel_global)
unset(_tavrel_def_exports)
