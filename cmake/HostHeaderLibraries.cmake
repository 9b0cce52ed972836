# Header-only libraries the simulator and the command-line tool read
# (nlohmann-json, CLI11). A native build finds their packages; a cross build
# for Windows has none, and takes the build machine's headers - they include
# nothing but the C++ standard library - from a folder holding only them.
function(kx7fw_host_header_library package target header)
  find_package(${package} QUIET)
  if(TARGET ${target})
    return()
  endif()
  get_filename_component(folder ${header} DIRECTORY)
  find_path(KX7FW_${package}_INCLUDE ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH)
  if(NOT KX7FW_${package}_INCLUDE)
    message(FATAL_ERROR "${package} is needed (Debian: the headers in /usr/include/${folder})")
  endif()
  set(staged ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${staged})
  if(NOT EXISTS ${staged}/${folder})
    file(CREATE_LINK ${KX7FW_${package}_INCLUDE}/${folder} ${staged}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staged})
endfunction()

kx7fw_host_header_library(nlohmann_json nlohmann_json::nlohmann_json nlohmann/json.hpp)
kx7fw_host_header_library(CLI11 CLI11::CLI11 CLI/CLI.hpp)
