# Lists the dynamic symbols a shared library defines and fails unless they are
# exactly the twelve exports, plus - with -DALSO=kx7sim_ - functions of that
# prefix.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
set(expected MSCDeviceList DeviceSerialNum GetDeviceInfo GetLocalVersion NeedRecovery
             Detect_HID DoNormalUpdate DoRecoveryUpdate GetFWLibraryVersion GetAPIVersion
             ChangeUSBMode ResetChipset)
string(REPLACE "\n" ";" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    set(name ${CMAKE_MATCH_1})
    if(ALSO AND name MATCHES "^${ALSO}")
      continue()
    endif()
    list(FIND expected ${name} index)
    if(index EQUAL -1)
      message(FATAL_ERROR "unexpected exported symbol: ${name}")
    endif()
    list(APPEND found ${name})
  endif()
endforeach()
foreach(name IN LISTS expected)
  list(FIND found ${name} index)
  if(index EQUAL -1)
    message(FATAL_ERROR "missing export: ${name}")
  endif()
endforeach()
message(STATUS "exports: ${found}")
