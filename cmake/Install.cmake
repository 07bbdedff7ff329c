# `cmake --install` gives a C++ user the library, its headers, the command line, the
# bundled chat model, a CMake package (find_package(kestrune), kestrune::kestrune) and a pkg-config file.
# The package is self-contained and relocatable: llama.cpp's libraries (every CPU variant and
# GPU backend the build linked against) are installed beside ours, and every RUNPATH is
# relative to the file that carries it.
include(CMakePackageConfigHelpers)

set_target_properties(kestrune PROPERTIES INSTALL_RPATH_USE_LINK_PATH OFF INSTALL_RPATH "$ORIGIN")
set_target_properties(kestrune_cli PROPERTIES INSTALL_RPATH_USE_LINK_PATH OFF
                                              INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
# The exported target carries its language level: a consumer that sets none still compiles
# our headers.
target_compile_features(kestrune PUBLIC cxx_std_20)

install(TARGETS kestrune EXPORT kestrune-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kestrune_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/models/kestrune-tiny-chat.gguf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrune/models)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrune
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# llama.cpp's shared libraries as they are (links kept as links). The CUDA runtime that setup
# may have linked in from elsewhere stays out: it belongs to the machine, not to the package.
if(KESTRUNE_LLAMA_LIB_DIR)
  install(DIRECTORY ${KESTRUNE_LLAMA_LIB_DIR}/ DESTINATION ${CMAKE_INSTALL_LIBDIR}
          FILES_MATCHING PATTERN "lib*.so*"
          PATTERN "libcu*" EXCLUDE PATTERN "cmake" EXCLUDE PATTERN "pkgconfig" EXCLUDE)
endif()

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

# The .pc file finds the prefix relative to itself, however deep the library folder is.
file(RELATIVE_PATH kestrune_pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" kestrune_pc_to_prefix "${kestrune_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrune.pc.in ${PROJECT_BINARY_DIR}/kestrune.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrune.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
