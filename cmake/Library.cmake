# The shipped library: the C interface over the core, as libquillmark.so / quillmark.dll.
add_library(quillmark SHARED ${QM_API_SOURCES})
target_link_libraries(quillmark PRIVATE quillmark_core)
target_compile_definitions(quillmark PRIVATE QM_BUILDING_LIBRARY)
target_include_directories(quillmark PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
set_target_properties(quillmark PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
if(WIN32)
  set_target_properties(quillmark PROPERTIES PREFIX "")
  if(MINGW)
    # No decorated names, and no dependency on the MinGW runtime DLLs.
    target_link_options(quillmark PRIVATE -Wl,--kill-at -static-libgcc -static-libstdc++ -static)
  endif()
else()
  # A version script keeps everything but the C interface local, standard-library
  # template code included.
  set(QM_EXPORT_MAP ${CMAKE_CURRENT_SOURCE_DIR}/cmake/quillmark.map)
  target_link_options(quillmark PRIVATE -Wl,--version-script=${QM_EXPORT_MAP} -Wl,--no-undefined)
  set_target_properties(quillmark PROPERTIES LINK_DEPENDS ${QM_EXPORT_MAP})
endif()

# The same interface as a static library, for tests that need the library in their own
# process (fault hooks, sanitizers across the boundary).
add_library(quillmark_static STATIC ${QM_API_SOURCES})
target_compile_definitions(quillmark_static PUBLIC QM_STATIC)
target_link_libraries(quillmark_static PUBLIC quillmark_core)

include(GNUInstallDirs)
install(TARGETS quillmark EXPORT QuillmarkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/quillmark/quillmark.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillmark)
install(EXPORT QuillmarkTargets NAMESPACE Quillmark:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillmark)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfig.cmake
  "include(\${CMAKE_CURRENT_LIST_DIR}/QuillmarkTargets.cmake)\n")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuillmarkConfig.cmake DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillmark)
