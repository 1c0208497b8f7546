# The kerval library: `kerval` (shared, exports only the names of kerval/exports.txt plus the
# descriptor `_pxSysDescript`) and `kerval_static` (everything visible, for the tests).
find_package(Threads REQUIRED)

set(kerval_root "${PROJECT_SOURCE_DIR}/kerval")
if(WIN32)
    set(kerval_os_dir win32)
else()
    set(kerval_os_dir posix)
endif()
file(GLOB kerval_sources CONFIGURE_DEPENDS
    "${kerval_root}/*.cpp"
    "${kerval_root}/*/*.cpp"
    "${kerval_root}/platform/common/*.cpp"
    "${kerval_root}/platform/${kerval_os_dir}/*.cpp")
if(NOT kerval_sources)
    # Nothing written yet: keep the targets buildable.
    set(kerval_stub "${PROJECT_BINARY_DIR}/generated/kerval_empty.cpp")
    file(CONFIGURE OUTPUT "${kerval_stub}" CONTENT "// No library sources yet.\n")
    set(kerval_sources "${kerval_stub}")
endif()

# Settings shared by every build of the library sources.
add_library(kerval_settings INTERFACE)
target_include_directories(kerval_settings INTERFACE "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>")
target_compile_features(kerval_settings INTERFACE cxx_std_20)
target_link_libraries(kerval_settings INTERFACE Threads::Threads)
if(WIN32)
    target_link_libraries(kerval_settings INTERFACE ws2_32 winmm user32 advapi32 ntdll)
endif()

add_library(kerval_static STATIC ${kerval_sources})
target_link_libraries(kerval_static PUBLIC kerval_settings)
target_compile_definitions(kerval_static PUBLIC KERVAL_STATIC)
kerval_set_warnings(kerval_static)

if(NOT KERVAL_SHARED)
    return()
endif()

include(KervalExports)

add_library(kerval_objects OBJECT ${kerval_sources})
target_link_libraries(kerval_objects PUBLIC kerval_settings)
target_compile_definitions(kerval_objects PRIVATE KERVAL_SHARED_BUILD)
# Calls between the library's own exported functions (WriteToTask -> WriteMailBox) stay direct
# calls that may be inlined, instead of going through the PLT for a replacement no one makes.
if(NOT WIN32)
    target_compile_options(kerval_objects PRIVATE -fno-semantic-interposition)
endif()
set_target_properties(kerval_objects PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
kerval_set_warnings(kerval_objects)

add_library(kerval SHARED $<TARGET_OBJECTS:kerval_objects>)
target_link_libraries(kerval PUBLIC kerval_settings)
kerval_limit_exports(kerval kerval_objects)
if(WIN32)
    # kerval.dll, with the mingw runtime linked in so the DLL stands alone.
    set_target_properties(kerval PROPERTIES PREFIX "" IMPORT_PREFIX "")
    target_link_options(kerval PRIVATE -static)
endif()
