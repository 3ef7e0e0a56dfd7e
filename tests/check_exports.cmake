# Fails unless a library's dynamic symbol table defines exactly its
# interface: EXPECTED, a list of name:TYPE (the camera library's five
# functions and table when not given).
execute_process(COMMAND ${READELF} --dyn-syms -W ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(defined "")
foreach(line IN LISTS lines)
  # Num: Value Size Type Bind Vis Ndx Name
  if(line MATCHES "^ *[0-9]+: +[0-9a-f]+ +[0-9]+ +([A-Z]+) +([A-Z]+) +[A-Z]+ +([A-Z0-9]+) +([^ @]+)")
    set(type "${CMAKE_MATCH_1}")
    set(bind "${CMAKE_MATCH_2}")
    set(section "${CMAKE_MATCH_3}")
    set(name "${CMAKE_MATCH_4}")
    if(NOT section STREQUAL "UND" AND bind MATCHES "GLOBAL|WEAK")
      list(APPEND defined "${name}:${type}")
    endif()
  endif()
endforeach()
list(SORT defined)
if(EXPECTED)
  string(REPLACE "," ";" expected "${EXPECTED}")
else()
  set(expected CameraInit:FUNC CloseCameraEx:FUNC ConfigCamera:FUNC OpenCameraEx:FUNC
               ReadCameraFrame:FUNC g_CameraMgr:OBJECT)
endif()
list(SORT expected)
if(NOT defined STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${defined}")
endif()
message(STATUS "exports: ${defined}")
