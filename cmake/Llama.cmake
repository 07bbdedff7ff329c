# llama.cpp as the targets `llama`, `llama-common` (its common library, for the chat template
# engine), `ggml::ggml` and `ggml::ggml-base`, and
# KESTRUNE_LLAMA_LIB_DIR: the folder of its libraries, which the installed package carries.
#
# scripts/setup leaves either the prebuilt libraries of the pinned release (prefix/.complete
# names the npm package; no CMake package of their own, so imported targets are made here) or
# a build from source with llama.cpp's own CMake package. A llama.cpp found on the system is
# used as it is and not carried.

# Resolved once: a build stays with the llama.cpp it was configured against when setup later
# points llama-current elsewhere.
get_filename_component(llama_root "${KESTRUNE_LLAMA_ROOT}" REALPATH)
set(llama_prefix "${llama_root}/prefix")
set(KESTRUNE_LLAMA_PREBUILT "")
if(EXISTS "${llama_prefix}/.complete")
  file(STRINGS "${llama_prefix}/.complete" KESTRUNE_LLAMA_PREBUILT LIMIT_COUNT 1)
endif()

function(kestrune_import_prebuilt target file)
  get_filename_component(real "${llama_prefix}/lib/${file}" REALPATH)
  get_filename_component(soname "${real}" NAME)
  add_library(${target} SHARED IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION "${real}"
                                             IMPORTED_SONAME "${soname}"
                                             INTERFACE_INCLUDE_DIRECTORIES "${llama_prefix}/include")
endfunction()

if(KESTRUNE_LLAMA_PREBUILT)
  kestrune_import_prebuilt(ggml::ggml-base libggml-base.so)
  kestrune_import_prebuilt(ggml::ggml libggml.so)
  kestrune_import_prebuilt(llama libllama.so)
  kestrune_import_prebuilt(llama-common libllama-common.so)
  set_target_properties(ggml::ggml PROPERTIES INTERFACE_LINK_LIBRARIES ggml::ggml-base)
  set_target_properties(llama PROPERTIES INTERFACE_LINK_LIBRARIES "ggml::ggml;ggml::ggml-base")
  set(KESTRUNE_LLAMA_LIB_DIR "${llama_prefix}/lib")
  message(STATUS "llama.cpp: prebuilt @node-llama-cpp/${KESTRUNE_LLAMA_PREBUILT} in ${llama_prefix}")
else()
  find_package(llama CONFIG REQUIRED HINTS "${llama_prefix}")
  cmake_path(IS_PREFIX llama_root "${LLAMA_LIB_DIR}" NORMALIZE ours)
  if(ours)
    set(KESTRUNE_LLAMA_LIB_DIR "${LLAMA_LIB_DIR}")
  else()
    set(KESTRUNE_LLAMA_LIB_DIR "")
  endif()
  message(STATUS "llama.cpp: built from source, ${LLAMA_LIB_DIR}")
endif()

# The common library installs no headers and no CMake package: its headers come from the pinned
# source, which both the prebuilt release and the source build were made from.
get_filename_component(llama_common_headers "${KESTRUNE_LLAMA_SOURCE_ROOT}/src/common" REALPATH)
if(NOT EXISTS "${llama_common_headers}/chat.h")
  message(FATAL_ERROR "llama.cpp's common headers are missing at ${llama_common_headers}; "
                      "run scripts/setup")
endif()
if(NOT TARGET llama-common)
  find_library(llama_common_library llama-common HINTS "${KESTRUNE_LLAMA_LIB_DIR}" "${LLAMA_LIB_DIR}"
               REQUIRED)
  add_library(llama-common SHARED IMPORTED GLOBAL)
  set_target_properties(llama-common PROPERTIES IMPORTED_LOCATION "${llama_common_library}")
endif()
set_target_properties(llama-common PROPERTIES INTERFACE_LINK_LIBRARIES llama)
set_property(TARGET llama-common APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES
                                                 "${llama_common_headers}")
