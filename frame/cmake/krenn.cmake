# The frame as a static library, krenn::frame, and krenn_add_module, the one
# place the build policy is written: every module built on the frame, and the
# frame inside it, gets the same flags. Used from the installed package
# (krennConfig.cmake) and from the source tree (add_subdirectory).
include_guard(GLOBAL)

get_filename_component(KRENN_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
# Read by krenn_add_module, which runs in its callers' folders.
set(KRENN_CMAKE_DIR "${CMAKE_CURRENT_LIST_DIR}" CACHE INTERNAL "")

if(NOT TARGET Python::Module)
  find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.Module)
endif()

# With no build type, CMake compiles without optimisation; a module is built
# for use unless asked otherwise.
get_property(_krenn_multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(NOT CMAKE_BUILD_TYPE AND NOT _krenn_multi_config)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

# The build policy, for the frame's library and each module alike. Debug:
# -O0 -g. Release and the like: every call's way runs inline, in the module's
# own code, which gets CMake's optimisation for the build type (-O3 for
# Release); the frame's library holds only what runs out of line (first uses,
# errors, growth), built for size (src/CMakeLists.txt). Sections per function
# and object let the linker drop what no entry reaches.
function(_krenn_apply_policy target)
  set_target_properties(${target} PROPERTIES
    CXX_STANDARD 23 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  set(_optimised "$<NOT:$<CONFIG:Debug>>")
  target_compile_options(${target} PRIVATE
    "$<${_optimised}:-ffunction-sections;-fdata-sections;-fno-plt>")
endfunction()

# --- Debug interpreters ---------------------------------------------------------
# A debug interpreter (Py_DEBUG) loads only modules built against its own
# pyconfig.h, where Py_INCREF counts references. Debian's debug include folder
# holds symlinks to the release headers, and gcc, following Python.h's, finds
# the release pyconfig.h beside it first. Forcing the interpreter's own
# pyconfig.h in ahead of every source settles it for any compiler and any
# layout: both headers share one include guard, so the release one adds
# nothing. The check below fails the configure rather than build a module
# that does not count.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import sysconfig; print(sysconfig.get_config_var('Py_DEBUG') or 0, end=';'); print(sysconfig.get_config_h_filename(), end='')"
  OUTPUT_VARIABLE _krenn_py_config RESULT_VARIABLE _krenn_py_config_result)
if(NOT _krenn_py_config_result EQUAL 0)
  message(FATAL_ERROR "${Python_EXECUTABLE} could not report its build configuration")
endif()
list(GET _krenn_py_config 0 _krenn_py_debug)
set(KRENN_PYCONFIG_INCLUDE "")
if(_krenn_py_debug)
  list(GET _krenn_py_config 1 _krenn_pyconfig_h)
  message(STATUS "Debug interpreter: every source starts with ${_krenn_pyconfig_h}")
  set(KRENN_PYCONFIG_INCLUDE "SHELL:-include \"${_krenn_pyconfig_h}\"")
  include(CheckCXXSourceCompiles)
  unset(KRENN_PY_REF_DEBUG CACHE)
  set(CMAKE_REQUIRED_FLAGS "-include \"${_krenn_pyconfig_h}\"")
  set(CMAKE_REQUIRED_LIBRARIES Python::Module)
  check_cxx_source_compiles([[
    #include <Python.h>
    #ifndef Py_REF_DEBUG
    #error Python.h was read without Py_DEBUG
    #endif
    int main() { return 0; }
  ]] KRENN_PY_REF_DEBUG)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(NOT KRENN_PY_REF_DEBUG)
    message(FATAL_ERROR "${Python_EXECUTABLE} is a debug build, but its headers "
      "compile without Py_DEBUG; see CMakeFiles/CMakeConfigureLog.yaml")
  endif()
endif()
# ---------------------------------------------------------------------------------

# The frame's own code is held to these.
set(KRENN_WARNINGS -Wall -Wextra -Werror)
# g++ 12 reports false maybe-uninitialized positives inside std::variant moves.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND KRENN_WARNINGS -Wno-maybe-uninitialized)
endif()

# The frame's library, krenn::frame, in a folder of its own: its flags are
# the frame's, whatever the including project's are.
add_subdirectory("${KRENN_ROOT}/src" "${CMAKE_CURRENT_BINARY_DIR}/krenn_frame")

# krenn_add_module(<name> <source>...): the extension module <name>, linking
# the frame, exporting PyInit_<name> and nothing else. After each link, the
# module's stub is written from its declarations to <name>-stubs/__init__.pyi
# in the current binary folder, a stub-only package for type checkers:
#   install(DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/<name>-stubs" DESTINATION .)
function(krenn_add_module name)
  Python_add_library(${name} MODULE WITH_SOABI ${ARGN})
  target_link_libraries(${name} PRIVATE krenn::frame)
  _krenn_apply_policy(${name})
  # The module's own files are named from its project's root.
  target_compile_options(${name} PRIVATE "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${name}.map")
  file(WRITE "${map}" "{ global: PyInit_${name}; local: *; };\n")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${map}")
  target_link_options(${name} PRIVATE "-Wl,--version-script=${map}" -Wl,--exclude-libs,ALL
    "$<$<NOT:$<CONFIG:Debug>>:-Wl,--gc-sections;-Wl,-O1>")
  if(CMAKE_OBJCOPY)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND "${Python_EXECUTABLE}" "${KRENN_CMAKE_DIR}/krenn_stub.py" "${CMAKE_OBJCOPY}"
        "$<TARGET_FILE:${name}>" "${CMAKE_CURRENT_BINARY_DIR}/${name}-stubs/__init__.pyi"
      VERBATIM)
  else()
    message(STATUS "krenn: no objcopy, so no stub for ${name}")
  endif()
endfunction()
