# What ships beside the library and the CMake package: the generated version header, a
# pkg-config file, and the CPack packages (a Debian package on Linux, a zip on Windows).

# quillmark/version.h: the version macros, from the project version.
set(QM_GENERATED_INCLUDE_DIR ${CMAKE_CURRENT_BINARY_DIR}/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${QM_GENERATED_INCLUDE_DIR}/quillmark/version.h @ONLY)
target_include_directories(quillmark_core PUBLIC $<BUILD_INTERFACE:${QM_GENERATED_INCLUDE_DIR}>)
target_include_directories(quillmark PUBLIC $<BUILD_INTERFACE:${QM_GENERATED_INCLUDE_DIR}>)
install(FILES ${QM_GENERATED_INCLUDE_DIR}/quillmark/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillmark)

# quillmark.pc, relocatable: the prefix is found from where the file lies, so an install
# with any --prefix (or a package unpacked anywhere) gives the right paths.
set(QM_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH QM_PC_TO_PREFIX /prefix/${QM_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" QM_PC_TO_PREFIX "${QM_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/quillmark.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc DESTINATION ${QM_PC_DIR})

include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillmark)

# cpack in the build folder: a .deb on Linux (installs under /usr), a .zip on Windows.
set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VENDOR "Karvoll GmbH")
set(CPACK_PACKAGE_CONTACT "Karvoll GmbH <quillmark@karvoll.invalid>" CACHE STRING
  "Maintainer named in the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "library, header and command that write ASAM MDF 4 measurement files")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
