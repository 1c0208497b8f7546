# Export control generated from kerval/exports.txt at configure time:
#   Linux:   a version script (global: the listed names, local: everything else);
#   Windows: a module-definition file.
# The DLL links with a copy of the .def reduced to the names its objects define, so the library
# links while operations are still missing; the `exports` test reports any difference.
set(KERVAL_EXPORTS_FILE "${PROJECT_SOURCE_DIR}/kerval/exports.txt")
set(KERVAL_DATA_EXPORTS _pxSysDescript)
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${KERVAL_EXPORTS_FILE}")

file(STRINGS "${KERVAL_EXPORTS_FILE}" KERVAL_EXPORTED_FUNCTIONS REGEX "^[A-Za-z_][A-Za-z0-9_]*$")
list(LENGTH KERVAL_EXPORTED_FUNCTIONS kerval_export_count)
message(STATUS "kerval exports ${kerval_export_count} functions + ${KERVAL_DATA_EXPORTS}")

set(kerval_generated "${PROJECT_BINARY_DIR}/generated")
set(KERVAL_VERSION_SCRIPT "${kerval_generated}/kerval.map")
set(KERVAL_DEF_FILE "${kerval_generated}/kerval.def")

set(map_text "{\n  global:\n")
set(def_text "LIBRARY kerval.dll\nEXPORTS\n")
foreach(name IN LISTS KERVAL_EXPORTED_FUNCTIONS)
    string(APPEND map_text "    ${name};\n")
    string(APPEND def_text "    ${name}\n")
endforeach()
foreach(name IN LISTS KERVAL_DATA_EXPORTS)
    string(APPEND map_text "    ${name};\n")
    string(APPEND def_text "    ${name} DATA\n")
endforeach()
string(APPEND map_text "  local:\n    *;\n};\n")
file(CONFIGURE OUTPUT "${KERVAL_VERSION_SCRIPT}" CONTENT "${map_text}" @ONLY)
file(CONFIGURE OUTPUT "${KERVAL_DEF_FILE}" CONTENT "${def_text}" @ONLY)

function(kerval_limit_exports target objects_target)
    if(NOT WIN32)
        target_link_options(${target} PRIVATE "LINKER:--version-script=${KERVAL_VERSION_SCRIPT}")
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${KERVAL_VERSION_SCRIPT}")
        return()
    endif()
    set(linked_def "${CMAKE_CURRENT_BINARY_DIR}/generated/kerval_linked.def")
    add_custom_command(OUTPUT "${linked_def}"
        COMMAND "${CMAKE_COMMAND}"
            "-DNM=${CMAKE_NM}"
            "-DDEF_IN=${KERVAL_DEF_FILE}"
            "-DDEF_OUT=${linked_def}"
            "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:${objects_target}>,|>"
            -P "${PROJECT_SOURCE_DIR}/cmake/FilterDef.cmake"
        DEPENDS "${KERVAL_DEF_FILE}" "${PROJECT_SOURCE_DIR}/cmake/FilterDef.cmake"
            $<TARGET_OBJECTS:${objects_target}>
        COMMENT "Selecting the DLL exports defined so far"
        VERBATIM)
    target_sources(${target} PRIVATE "${linked_def}")
endfunction()
