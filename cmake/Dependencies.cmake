# Outside components. llama.cpp comes from the prefix scripts/setup fills (or the system).

if(DEFINED ENV{XDG_CACHE_HOME})
  set(kestrune_cache "$ENV{XDG_CACHE_HOME}/kestrune")
else()
  set(kestrune_cache "$ENV{HOME}/.cache/kestrune")
endif()
set(KESTRUNE_LLAMA_ROOT "${kestrune_cache}/llama-current"
    CACHE PATH "The llama.cpp scripts/setup installed (prefix/: prebuilt or built from source)")
set(KESTRUNE_NODE_CLIENTS "${kestrune_cache}/node-clients"
    CACHE PATH "The official OpenAI and Ollama Node.js clients scripts/setup installed")
set(KESTRUNE_WEB_TOOLS "${kestrune_cache}/web-tools"
    CACHE PATH "esbuild and the chat page's libraries, which scripts/setup installed from npm")
set(KESTRUNE_LLAMA_SOURCE_ROOT "${kestrune_cache}/llama-source"
    CACHE PATH "The pinned llama.cpp source (src/) and the build tree of its tools (build/bin/)")

find_package(Threads REQUIRED)
include(${CMAKE_CURRENT_LIST_DIR}/Llama.cmake)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(httplib CONFIG QUIET)
if(NOT httplib_FOUND)
  # Debian ships cpp-httplib compiled: the header declares, libcpp-httplib defines, and the
  # header must see the same options (OpenSSL, zlib, brotli) the library was built with.
  # A library target (not pkg-config's interface target) keeps its place on the link line,
  # which matters: see src/CMakeLists.txt.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(cpp_httplib REQUIRED cpp-httplib)
  find_library(cpp_httplib_library cpp-httplib HINTS ${cpp_httplib_LIBRARY_DIRS} REQUIRED)
  add_library(httplib::httplib SHARED IMPORTED GLOBAL)
  set_target_properties(httplib::httplib PROPERTIES
    IMPORTED_LOCATION "${cpp_httplib_library}"
    INTERFACE_COMPILE_OPTIONS "${cpp_httplib_CFLAGS_OTHER}"
    INTERFACE_INCLUDE_DIRECTORIES "${cpp_httplib_INCLUDE_DIRS}")
endif()

# The embedded interpreter is Debian's (python3-dev), whose packages it imports; a Python found
# first on PATH (pyenv, a virtual environment) would tie the library to one user's installation.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 COMPONENTS Interpreter Development.Embed)
find_package(pybind11 CONFIG QUIET)
if(Python3_Development.Embed_FOUND AND pybind11_FOUND)
  set(python_default ON)
else()
  set(python_default OFF)
endif()
option(KESTRUNE_WITH_PYTHON "Embed CPython for the transformers and web search clients"
       ${python_default})
