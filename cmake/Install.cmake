# `cmake --install` gives a C++ user the library, its headers, the command line, the tiny
# chat model and a package configuration: find_package(kestrune) and link kestrune::kestrune.
include(CMakePackageConfigHelpers)

# The installed library and program find llama.cpp where it was linked from.
set_target_properties(kestrune kestrune_cli PROPERTIES INSTALL_RPATH_USE_LINK_PATH ON
                                                       INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS kestrune EXPORT kestrune-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kestrune_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/models/kestrune-tiny-chat.gguf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrune/models)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrune
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kestrune-targets NAMESPACE kestrune::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kestrune)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kestrune-config.cmake.in
                              ${PROJECT_BINARY_DIR}/kestrune-config.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kestrune)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kestrune-config-version.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kestrune-config.cmake
              ${PROJECT_BINARY_DIR}/kestrune-config-version.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kestrune)
