# Fails unless the library's dynamic symbol table defines exactly the eleven
# entry points and the six KTX extensions.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-f]* *[A-Za-z] " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected KTClosePort KTEnableLogging KTGetDllVersion KTOpenPort KTSendCommand
    KTSendCommandAndWait KTSendData KTSendDataAndWait KTSetLogFileName KTWaitForMessage
    _Z16KTSetFlowControlijj KTXGetModemLines KTXGetOpenError KTXGetPortStatus KTXListDevices
    KTXResultText KTXSendBreak)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()
message(STATUS "exactly the eleven entry points and the six extensions are exported")
