# The twelve functions every kx7fw library exports, in the order the public
# header declares them. Everything that names them all - the DLL's
# module-definition file, the linker version scripts, the checks of what a
# built library exports - is made from or reads this list. Usable from a
# project and from a script (cmake -P).
set(KX7FW_EXPORTS
  MSCDeviceList
  DeviceSerialNum
  GetDeviceInfo
  GetLocalVersion
  NeedRecovery
  Detect_HID
  DoNormalUpdate
  DoRecoveryUpdate
  GetFWLibraryVersion
  GetAPIVersion
  ChangeUSBMode
  ResetChipset)

# Writes a module-definition file for LIBRARY (kx7fw.dll) to FILE: the
# twelve names, undecorated.
function(kx7fw_write_def_file file library)
  set(text "LIBRARY ${library}\nEXPORTS\n")
  foreach(name IN LISTS KX7FW_EXPORTS)
    string(APPEND text "  ${name}\n")
  endforeach()
  file(CONFIGURE OUTPUT ${file} CONTENT "${text}" @ONLY)
endfunction()

# Writes a GNU ld version script to FILE that keeps the twelve names and the
# glob patterns given after it (kx7sim_*) global and everything else local.
function(kx7fw_write_version_script file)
  set(text "{\n  global:\n")
  foreach(name IN LISTS KX7FW_EXPORTS ARGN)
    string(APPEND text "    ${name};\n")
  endforeach()
  string(APPEND text "  local:\n    *;\n};\n")
  file(CONFIGURE OUTPUT ${file} CONTENT "${text}" @ONLY)
endfunction()

# Links TARGET with a version script written from the list (and PATTERNS).
function(kx7fw_link_version_script target)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map)
  kx7fw_write_version_script(${script} ${ARGN})
  target_link_options(${target} PRIVATE -Wl,--version-script=${script} -Wl,--no-undefined)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
endfunction()
