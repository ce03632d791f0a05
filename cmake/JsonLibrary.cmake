# nlohmann-json (Debian: nlohmann-json3-dev; header-only), which reads and writes the JSON of the
# records, the reports and the history. Provides the target nlohmann_json::nlohmann_json.
#
# Native builds take the package's own CMake configuration. The Windows cross-build searches the
# mingw-w64 root only, where Debian installs no copy; and its compiler must not be given the build
# machine's /usr/include, whose C library headers would stand in for mingw-w64's. It is given a
# folder of the build tree that holds nothing but a link to the library's headers, found in
# TARNET_JSON_INCLUDE_DIR (the directory that holds nlohmann/json.hpp; /usr/include by default).
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()
# 3.10 and later free deeply nested values without recursion.
set(_tarnet_json_version 3.10)

if(NOT CMAKE_CROSSCOMPILING)
  find_package(nlohmann_json ${_tarnet_json_version} REQUIRED CONFIG)
  return()
endif()

find_package(nlohmann_json ${_tarnet_json_version} CONFIG QUIET)
if(nlohmann_json_FOUND)
  return()
endif()
find_path(TARNET_JSON_INCLUDE_DIR nlohmann/json.hpp
  PATHS /usr/include /usr/local/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "Directory that holds nlohmann/json.hpp, for the cross-build")
if(NOT TARNET_JSON_INCLUDE_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev (scripts/install-deps.sh) "
                      "or set TARNET_JSON_INCLUDE_DIR to the directory that holds nlohmann/json.hpp.")
endif()
# The version macros: in json.hpp up to 3.10, in detail/abi_macros.hpp from 3.11 on.
set(_tarnet_json_macros "")
foreach(_file json.hpp detail/abi_macros.hpp)
  if(EXISTS "${TARNET_JSON_INCLUDE_DIR}/nlohmann/${_file}")
    file(STRINGS "${TARNET_JSON_INCLUDE_DIR}/nlohmann/${_file}" _lines REGEX "#define NLOHMANN_JSON_VERSION_M")
    string(APPEND _tarnet_json_macros "${_lines}")
  endif()
endforeach()
string(REGEX MATCH "VERSION_MAJOR +([0-9]+)" _ "${_tarnet_json_macros}")
set(_tarnet_json_major "${CMAKE_MATCH_1}")
string(REGEX MATCH "VERSION_MINOR +([0-9]+)" _ "${_tarnet_json_macros}")
set(_tarnet_json_minor "${CMAKE_MATCH_1}")
if("${_tarnet_json_major}.${_tarnet_json_minor}" VERSION_LESS _tarnet_json_version)
  message(FATAL_ERROR "${TARNET_JSON_INCLUDE_DIR}/nlohmann/json.hpp is version "
                      "${_tarnet_json_major}.${_tarnet_json_minor}; ${_tarnet_json_version} or later is needed.")
endif()
set(_tarnet_json_dir "${CMAKE_BINARY_DIR}/json-include")
file(MAKE_DIRECTORY "${_tarnet_json_dir}")
file(CREATE_LINK "${TARNET_JSON_INCLUDE_DIR}/nlohmann" "${_tarnet_json_dir}/nlohmann" SYMBOLIC COPY_ON_ERROR)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_tarnet_json_dir}")
message(STATUS "nlohmann-json ${_tarnet_json_major}.${_tarnet_json_minor} from ${TARNET_JSON_INCLUDE_DIR}")
