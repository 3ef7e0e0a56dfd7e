# pytest cases as CTest tests, one process each (the camera library's state
# lives as long as its process):
#   boardcam_pytest_cases(<dir> <out-var>)
# collects the cases of <dir>/test_*.py and of its folders with ${Python3_EXECUTABLE} at
# configure time and sets <out-var> to their node ids, relative to <dir>
# ("test_http.py::test_snapshot"). Configuring again follows new test files.
function(boardcam_pytest_cases dir out)
  file(GLOB_RECURSE test_files CONFIGURE_DEPENDS ${dir}/test_*.py)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${test_files})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${dir}
            ${Python3_EXECUTABLE} -m pytest --collect-only -q -p no:cacheprovider .
    WORKING_DIRECTORY ${dir}
    OUTPUT_VARIABLE collected RESULT_VARIABLE collect_result)
  if(NOT collect_result EQUAL 0)
    message(FATAL_ERROR "pytest could not collect ${dir}:\n${collected}")
  endif()
  string(REGEX MATCHALL "[A-Za-z0-9_/]+\\.py::[^\n]+" cases "${collected}")
  set(${out} ${cases} PARENT_SCOPE)
endfunction()
