# Fails unless the dynamic symbols LIBRARY defines are exactly the twelve
# exports.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
set(expected ChangeUSBMode Detect_HID DeviceSerialNum DoNormalUpdate DoRecoveryUpdate
             GetAPIVersion GetDeviceInfo GetFWLibraryVersion GetLocalVersion MSCDeviceList
             NeedRecovery ResetChipset)
string(REPLACE "\n" ";" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    list(APPEND found ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports of ${LIBRARY}:\n  ${found}\nexpected:\n  ${expected}")
endif()
message(STATUS "exports: ${found}")
