# Reads a DLL's tables with objdump -p and fails unless it exports exactly the
# twelve functions, by their plain names, and imports from system DLLs only.
#   cmake -DOBJDUMP=... -DLIBRARY=kx7fw.dll -P check_dll.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed")
endif()

set(expected ChangeUSBMode Detect_HID DeviceSerialNum DoNormalUpdate DoRecoveryUpdate
             GetAPIVersion GetDeviceInfo GetFWLibraryVersion GetLocalVersion MSCDeviceList
             NeedRecovery ResetChipset)
set(system_dlls advapi32.dll hid.dll kernel32.dll msvcrt.dll ole32.dll setupapi.dll
                shell32.dll shlwapi.dll user32.dll ucrtbase.dll)

string(REPLACE "\n" ";" lines "${dump}")
set(exports "")
set(imports "")
set(in_names OFF)
set(current_dll "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_names ON)
  elseif(in_names AND line MATCHES "^\t\\[ *[0-9]+\\] (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(in_names)
    set(in_names OFF)
  endif()
  if(line MATCHES "^\tDLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" current_dll)
    list(APPEND imports ${current_dll})
  elseif(line MATCHES "^\t[0-9a-f]+\t +[0-9]+  (.+)$" AND current_dll STREQUAL "kernel32.dll")
    # Old kernel32 versions lack it: it is looked up at run time instead.
    if(CMAKE_MATCH_1 STREQUAL "SetFilePointerEx")
      message(FATAL_ERROR "${LIBRARY} imports SetFilePointerEx directly")
    endif()
  endif()
endforeach()

list(SORT exports)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} exports\n  ${exports}\nwanted\n  ${expected}")
endif()
if(NOT imports)
  message(FATAL_ERROR "no import table found in ${LIBRARY}")
endif()
foreach(dll IN LISTS imports)
  if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-crt-")
    message(FATAL_ERROR "${LIBRARY} imports ${dll}, which is no system DLL")
  endif()
endforeach()
message(STATUS "${LIBRARY}: exports ${exports}; imports ${imports}")
