# Outside components. llama.cpp comes from the prefix scripts/setup fills (or the system).

set(KESTRUNE_LLAMA_ROOT "$ENV{HOME}/.cache/kestrune/llama-current"
    CACHE PATH "Where scripts/setup keeps the pinned llama.cpp (src/, build/, prefix/)")
list(APPEND CMAKE_PREFIX_PATH "${KESTRUNE_LLAMA_ROOT}/prefix")

find_package(Threads REQUIRED)
find_package(llama CONFIG REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)

find_package(Python3 COMPONENTS Interpreter Development.Embed)
find_package(pybind11 CONFIG QUIET)
if(Python3_Development.Embed_FOUND AND pybind11_FOUND)
  set(python_default ON)
else()
  set(python_default OFF)
endif()
option(KESTRUNE_WITH_PYTHON "Embed CPython for the transformers and web search clients"
       ${python_default})
