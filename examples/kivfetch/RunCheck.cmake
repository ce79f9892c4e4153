# cmake -DEXPECT_EXIT=N -DEXPECT_REGEX=RE -P RunCheck.cmake -- PROGRAM ARGS...
# Runs PROGRAM and fails unless it exits with N and its output (stdout and
# stderr together) matches RE.
set(command)
set(seen_script FALSE)
foreach(i RANGE ${CMAKE_ARGC})
  if(seen_script AND DEFINED CMAKE_ARGV${i})
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif("${CMAKE_ARGV${i}}" MATCHES "RunCheck\\.cmake$")
    set(seen_script TRUE)
  endif()
endforeach()

execute_process(COMMAND ${command} RESULT_VARIABLE exit_code
  OUTPUT_VARIABLE out ERROR_VARIABLE out)
message("${out}")
if(NOT "${exit_code}" STREQUAL "${EXPECT_EXIT}")
  message(FATAL_ERROR "exit status ${exit_code}, expected ${EXPECT_EXIT}")
endif()
if(NOT out MATCHES "${EXPECT_REGEX}")
  message(FATAL_ERROR "output does not match: ${EXPECT_REGEX}")
endif()
