# The frame as a static library, krenn::frame, and krenn_add_module, the one
# place the build policy is written: every module built on the frame, and the
# frame inside it, gets the same flags. Used from the installed package
# (krennConfig.cmake) and from the source tree (add_subdirectory). The user's
# build type and flags are theirs: the policy adds to them, never replaces them.
include_guard(GLOBAL)

get_filename_component(_krenn_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
# Read by krenn_add_module, which runs in its callers' folders.
set(KRENN_ROOT "${_krenn_root}" CACHE INTERNAL "")
set(KRENN_CMAKE_DIR "${CMAKE_CURRENT_LIST_DIR}" CACHE INTERNAL "")

if(NOT TARGET Python::Module)
  find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.Module)
endif()

# The build types built for use. With none given, CMake compiles without
# optimisation; a module is built for use unless asked otherwise, so no build
# type counts as Release: its flags come from the policy rather than from a
# CMAKE_BUILD_TYPE written into the user's cache.
set(KRENN_NO_CONFIG "$<CONFIG:>" CACHE INTERNAL "")
set(KRENN_OPTIMISED "$<OR:$<CONFIG:Release,MinSizeRel,RelWithDebInfo>,${KRENN_NO_CONFIG}>"
  CACHE INTERNAL "")

# The build policy, for the frame's library and each module alike. Debug:
# the user's flags (CMake's -g). Release and the like: every call's way runs
# inline, in the module's own code, which gets the build type's optimisation
# (-O3 for Release); the frame's library holds only what runs out of line
# (first uses, errors, growth), built for size (_krenn_frame_library).
# Sections per function and object let the linker drop what no entry reaches.
function(_krenn_apply_policy target)
  set_target_properties(${target} PROPERTIES
    CXX_STANDARD 23 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # Read where the target is made: the user's Release flags, as they are there.
  separate_arguments(release UNIX_COMMAND "${CMAKE_CXX_FLAGS_RELEASE}")
  target_compile_options(${target} PRIVATE
    "$<${KRENN_NO_CONFIG}:${release}>"
    "$<${KRENN_OPTIMISED}:-ffunction-sections;-fdata-sections;-fno-plt>")
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
set(_krenn_pyconfig_include "")
if(_krenn_py_debug)
  list(GET _krenn_py_config 1 _krenn_pyconfig_h)
  message(STATUS "Debug interpreter: every source starts with ${_krenn_pyconfig_h}")
  set(_krenn_pyconfig_include "SHELL:-include \"${_krenn_pyconfig_h}\"")
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
set(KRENN_PYCONFIG_INCLUDE "${_krenn_pyconfig_include}" CACHE INTERNAL "")
# ---------------------------------------------------------------------------------

# The frame's own code is held to these. -Werror only where this repository
# builds it: in a user's build, a newer compiler's new warning must not stop
# the build.
set(_krenn_warnings -Wall -Wextra)
if(KRENN_WERROR)
  list(APPEND _krenn_warnings -Werror)
endif()
# g++ 12 reports false maybe-uninitialized positives inside std::variant moves.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND _krenn_warnings -Wno-maybe-uninitialized)
endif()
set(KRENN_WARNINGS "${_krenn_warnings}" CACHE INTERNAL "")

# The frame's library is built for size: nothing in it is on a successful
# call's way, which runs inline in the module. Measured on krenn_python
# against -O2 and -O3 for the library: the same instructions per successful
# call, within 2% on errors, and 16 KiB less code; -Oz saves another 0.4 KiB
# over -Os at the same counts.
include(CheckCXXCompilerFlag)
check_cxx_compiler_flag(-Oz KRENN_HAS_OZ)
if(KRENN_HAS_OZ)
  set(KRENN_SIZE_FLAG -Oz CACHE INTERNAL "")
else()
  set(KRENN_SIZE_FLAG -Os CACHE INTERNAL "")
endif()

# _krenn_frame_library(<target> <for size>): the frame's sources as a static
# library in the current folder. They get the user's flags for the build type,
# as the module's own files do (one instrumentation for the whole module);
# <for size> adds the size flag after them, where a later -O wins.
function(_krenn_frame_library target for_size)
  file(GLOB sources CONFIGURE_DEPENDS "${KRENN_ROOT}/src/*.cpp")
  add_library(${target} STATIC ${sources})
  _krenn_apply_policy(${target})
  target_include_directories(${target} PUBLIC "${KRENN_ROOT}/include"
    PRIVATE "${KRENN_ROOT}/src")
  target_link_libraries(${target} PUBLIC Python::Module)
  target_compile_definitions(${target} PUBLIC PY_SSIZE_T_CLEAN)
  target_compile_features(${target} PUBLIC cxx_std_23)
  # Panic reports name the frame's files from its root, wherever it lies;
  # PUBLIC for its headers, which modules compile too.
  target_compile_options(${target}
    PUBLIC "-fmacro-prefix-map=${KRENN_ROOT}/=" ${KRENN_PYCONFIG_INCLUDE}
    PRIVATE ${KRENN_WARNINGS})
  if(for_size)
    target_compile_options(${target} PRIVATE "$<${KRENN_OPTIMISED}:${KRENN_SIZE_FLAG}>")
  endif()
endfunction()

# The frame's library, krenn::frame, in a folder of its own.
add_subdirectory("${KRENN_ROOT}/src" "${CMAKE_CURRENT_BINARY_DIR}/krenn_frame")

# krenn_add_module(<name> [NOMINSIZE] [LTO] [NO_STUBS] <source>...): the
# extension module <name>, linking the frame, exporting PyInit_<name> and
# nothing else.
#   NOMINSIZE  the frame at the module's own optimisation level, not for size
#   LTO        interprocedural optimisation of the module and its frame
#   NO_STUBS   no stub
# NOMINSIZE and LTO compile the frame once more, for this module alone.
# After each link, a check fails the build if the module leaves one of the
# frame's names undefined (it could not be imported), then the module's stub
# is written from its declarations to <name>-stubs/__init__.pyi in the current
# binary folder, a stub-only package for type checkers. The folder always
# exists, empty when no stub is written, so that this never fails:
#   install(DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/<name>-stubs" DESTINATION .)
function(krenn_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NOMINSIZE;LTO;NO_STUBS" "" "")
  Python_add_library(${name} MODULE WITH_SOABI ${arg_UNPARSED_ARGUMENTS})
  set(frame krenn::frame)
  if(arg_NOMINSIZE OR arg_LTO)
    set(frame ${name}_krenn_frame)
    if(arg_NOMINSIZE)
      _krenn_frame_library(${frame} OFF)
    else()
      _krenn_frame_library(${frame} ON)
    endif()
  endif()
  target_link_libraries(${name} PRIVATE ${frame})
  _krenn_apply_policy(${name})
  if(arg_LTO)
    if(NOT DEFINED KRENN_IPO_SUPPORTED)
      include(CheckIPOSupported)
      check_ipo_supported(RESULT supported OUTPUT why LANGUAGES CXX)
      set(KRENN_IPO_SUPPORTED "${supported}" CACHE INTERNAL "")
      set(KRENN_IPO_WHY "${why}" CACHE INTERNAL "")
    endif()
    if(KRENN_IPO_SUPPORTED)
      set_target_properties(${name} ${frame} PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON)
    else()
      message(WARNING "krenn: ${name} is built without LTO, which this toolchain lacks: "
        "${KRENN_IPO_WHY}")
    endif()
  endif()
  # The module's own files are named from its project's root.
  target_compile_options(${name} PRIVATE "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${name}.map")
  file(WRITE "${map}" "{ global: PyInit_${name}; local: *; };\n")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${map}")
  # The link sees the build type's flags too (a sanitizer's runtime, LTO's level).
  separate_arguments(release UNIX_COMMAND "${CMAKE_CXX_FLAGS_RELEASE}")
  target_link_options(${name} PRIVATE "-Wl,--version-script=${map}" -Wl,--exclude-libs,ALL
    "$<${KRENN_NO_CONFIG}:${release}>" "$<${KRENN_OPTIMISED}:-Wl,--gc-sections;-Wl,-O1>")

  if(CMAKE_NM)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND "${Python_EXECUTABLE}" "${KRENN_CMAKE_DIR}/krenn_check_symbols.py" "${CMAKE_NM}"
        "$<TARGET_FILE:${name}>"
      VERBATIM)
  else()
    message(STATUS "krenn: no nm, so no check of the symbols ${name} leaves undefined")
  endif()

  set(stubs "${CMAKE_CURRENT_BINARY_DIR}/${name}-stubs")
  file(MAKE_DIRECTORY "${stubs}")
  if(arg_NO_STUBS OR NOT CMAKE_OBJCOPY)
    # Left by an earlier configuration, it would describe another build.
    file(REMOVE "${stubs}/__init__.pyi")
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(STATUS "krenn: no objcopy, so no stub for ${name}")
  elseif(arg_NO_STUBS)
    # The declarations' records (the section krenn_stub.py reads) cost the
    # module file its size and nothing else; out they go all the same.
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND "${CMAKE_OBJCOPY}" --remove-section=.krenn_stub "$<TARGET_FILE:${name}>"
      VERBATIM)
  else()
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND "${Python_EXECUTABLE}" "${KRENN_CMAKE_DIR}/krenn_stub.py" "${CMAKE_OBJCOPY}"
        "$<TARGET_FILE:${name}>" "${stubs}/__init__.pyi"
      VERBATIM)
  endif()
endfunction()
