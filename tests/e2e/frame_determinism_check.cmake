# Two separate runs of the benchmark render the demo frame at one clock value;
# the files must be identical to the bit, and the frame at another clock value
# must differ (a run that drew nothing would pass the first check alone).
# Arguments: -DBENCH=<vantrel-bench> -DWORK=<scratch dir>
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

foreach(run first second other)
  set(clock 5000)
  if(run STREQUAL "other")
    set(clock 6000)
  endif()
  execute_process(COMMAND "${BENCH}" --frame-at ${clock} --out "${WORK}/${run}.ppm"
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "run '${run}' failed with status ${status}: ${err}")
  endif()
endforeach()

# P6 header and 512 x 384 RGB pixels.
file(SIZE "${WORK}/first.ppm" size)
if(size LESS 589824)
  message(FATAL_ERROR "the frame file holds ${size} bytes, too few for 512 x 384 pixels")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK}/first.ppm" "${WORK}/second.ppm"
                RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "two runs rendered different frames at clock 5000")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK}/first.ppm" "${WORK}/other.ppm"
                RESULT_VARIABLE same)
if(same EQUAL 0)
  message(FATAL_ERROR "the frames at clock 5000 and 6000 are the same")
endif()
file(REMOVE_RECURSE "${WORK}")
