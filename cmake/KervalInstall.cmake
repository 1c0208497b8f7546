# Installation and packages: the header as <kerval/kerval.h>, the shared library with its SONAME,
# the static library, a CMake package (find_package(kerval) -> kerval::kerval, and
# kerval::kerval_static) and a pkg-config file. CPack makes Debian packages (runtime and
# development) on Linux and a zip (DLL, import library, .def, header) from the mingw build.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(kerval PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME kerval)
set_target_properties(kerval_static PROPERTIES EXPORT_NAME kerval_static)
target_include_directories(kerval_settings INTERFACE
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")

set(kerval_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/kerval")

install(TARGETS kerval EXPORT kerval-targets
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime
        NAMELINK_COMPONENT development
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
install(TARGETS kerval_static kerval_settings EXPORT kerval-targets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
install(FILES "${PROJECT_SOURCE_DIR}/kerval/kerval.h"
    DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/kerval" COMPONENT development)
if(WIN32)
    install(FILES "${KERVAL_DEF_FILE}" DESTINATION "${CMAKE_INSTALL_LIBDIR}"
        COMPONENT development)
endif()

install(EXPORT kerval-targets NAMESPACE kerval:: DESTINATION "${kerval_cmake_dir}"
    COMPONENT development)
configure_package_config_file("${PROJECT_SOURCE_DIR}/packaging/kervalConfig.cmake.in"
    "${PROJECT_BINARY_DIR}/packaging/kervalConfig.cmake"
    INSTALL_DESTINATION "${kerval_cmake_dir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/packaging/kervalConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/packaging/kervalConfig.cmake"
    "${PROJECT_BINARY_DIR}/packaging/kervalConfigVersion.cmake"
    DESTINATION "${kerval_cmake_dir}" COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own folder, so the tree answers wherever
# it is installed or unpacked.
file(RELATIVE_PATH kerval_pc_up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" kerval_pc_up "${kerval_pc_up}")
set(kerval_pc_prefix "\${pcfiledir}/${kerval_pc_up}")
configure_file("${PROJECT_SOURCE_DIR}/packaging/kerval.pc.in"
    "${PROJECT_BINARY_DIR}/packaging/kerval.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/packaging/kerval.pc"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)

set(CPACK_PACKAGE_NAME kerval)
set(CPACK_PACKAGE_VENDOR "kerval developers")
set(CPACK_PACKAGE_CONTACT "kerval developers <kerval@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Small real-time executive: tasks, mailboxes, semaphores, tempos, TCP links, files")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
    set(CPACK_PACKAGE_FILE_NAME "kerval-${PROJECT_VERSION}-win64")
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL runtime development)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkerval0)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12)")
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkerval-dev)
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkerval0 (= ${PROJECT_VERSION})")
    set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
endif()
include(CPack)
