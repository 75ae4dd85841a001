# nlohmann::json (header-only) as the target nlohmann_json::nlohmann_json.
# Its CMake package comes first; OpenWrt's feed package installs only the
# headers and a pkg-config file, so those are the fallbacks. A cross build
# whose target roots hold none of them takes the PC's headers, copied into
# the build tree: the PC's include directory itself (x86 headers of every
# other library) must never enter the target's search path.
find_package(nlohmann_json 3.9 CONFIG QUIET)
if(TARGET nlohmann_json::nlohmann_json)
  message(STATUS "nlohmann::json: CMake package in ${nlohmann_json_DIR}")
  return()
endif()

set(_gimbal_json_include "")
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(GIMBAL_JSON_PC QUIET nlohmann_json>=3.9)
endif()
if(GIMBAL_JSON_PC_FOUND)
  set(_gimbal_json_include "${GIMBAL_JSON_PC_INCLUDE_DIRS}")
  message(STATUS "nlohmann::json: pkg-config, version ${GIMBAL_JSON_PC_VERSION}")
else()
  find_path(GIMBAL_JSON_INCLUDE_DIR nlohmann/json.hpp)
  if(NOT GIMBAL_JSON_INCLUDE_DIR AND CMAKE_CROSSCOMPILING)
    find_path(GIMBAL_JSON_HOST_INCLUDE_DIR nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
    if(GIMBAL_JSON_HOST_INCLUDE_DIR)
      set(_gimbal_json_copy "${CMAKE_BINARY_DIR}/header-only")
      file(COPY "${GIMBAL_JSON_HOST_INCLUDE_DIR}/nlohmann" DESTINATION "${_gimbal_json_copy}")
      set(GIMBAL_JSON_INCLUDE_DIR "${_gimbal_json_copy}")
    endif()
  endif()
  if(NOT GIMBAL_JSON_INCLUDE_DIR)
    message(FATAL_ERROR "nlohmann::json (3.9 or later) not found: no CMake package, no pkg-config "
      "file and no nlohmann/json.hpp (Debian: nlohmann-json3-dev; OpenWrt: nlohmannjson)")
  endif()
  # The version macros moved out of json.hpp in 3.11.
  set(_gimbal_json_version "")
  foreach(_header json.hpp detail/abi_macros.hpp)
    if(EXISTS "${GIMBAL_JSON_INCLUDE_DIR}/nlohmann/${_header}")
      file(STRINGS "${GIMBAL_JSON_INCLUDE_DIR}/nlohmann/${_header}" _lines
           REGEX "#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR) +[0-9]+")
      string(APPEND _gimbal_json_version "${_lines}")
    endif()
  endforeach()
  string(REGEX REPLACE ".*MAJOR +([0-9]+).*MINOR +([0-9]+).*" "\\1.\\2" _gimbal_json_version "${_gimbal_json_version}")
  if(_gimbal_json_version VERSION_LESS 3.9)
    message(FATAL_ERROR "nlohmann::json in ${GIMBAL_JSON_INCLUDE_DIR} is ${_gimbal_json_version}; 3.9 or later is needed")
  endif()
  set(_gimbal_json_include "${GIMBAL_JSON_INCLUDE_DIR}")
  message(STATUS "nlohmann::json: header ${_gimbal_json_version} in ${GIMBAL_JSON_INCLUDE_DIR}")
endif()

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_gimbal_json_include}")
