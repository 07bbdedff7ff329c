# Compiler settings shared by every target of ours; dependencies keep their own.

find_program(KESTRUNE_CCACHE ccache)
if(KESTRUNE_CCACHE)
  # Relative paths let builds in different checkouts share cache entries.
  set(launcher env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1 ${KESTRUNE_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()

# Warnings (and the sanitizers, when asked) for our own targets only: a project that adds
# Kestrune as a subdirectory keeps its own flags.
add_library(kestrune_warnings INTERFACE)
target_compile_options(kestrune_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                                                   -Wnon-virtual-dtor
                                                   # Designated initialisers may leave fields at their defaults.
                                                   -Wno-missing-field-initializers)
if(KESTRUNE_WERROR)
  target_compile_options(kestrune_warnings INTERFACE -Werror)
endif()

if(KESTRUNE_SANITIZE)
  target_compile_options(kestrune_warnings INTERFACE -fsanitize=address,undefined
                                                     -fno-omit-frame-pointer
                                                     -fno-sanitize-recover=undefined)
  target_link_options(kestrune_warnings INTERFACE -fsanitize=address,undefined)
endif()
