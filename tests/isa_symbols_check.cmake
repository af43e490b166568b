# The files built for AVX2 and AVX-512 must not define an inline function that
# other files share: the linker keeps one copy of each, and if it kept theirs,
# code that runs on every processor would run their instructions. So every
# weak symbol they define must belong to their own lane types. Both build the
# eight lanes of AVX2's instructions, as types told apart by the tag naming
# the build; AVX-512's tag sits in its own namespace.
# Arguments: -DNM=<nm> -DLIBRARY=<the tracer's archive>
execute_process(COMMAND "${NM}" -C -A --defined-only "${LIBRARY}" OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(checked 0)
set(strays "")
foreach(line IN LISTS lines)
  if(line MATCHES "kernels_(avx2|avx512)\\.cpp\\.o: *[0-9a-f]* [WVu] (.*)$")
    set(set_name "${CMAKE_MATCH_1}")
    set(symbol "${CMAKE_MATCH_2}")
    math(EXPR checked "${checked} + 1")
    set(own TRUE)
    if(NOT symbol MATCHES "vantrel::${set_name}::"
       OR (set_name STREQUAL "avx2" AND symbol MATCHES "vantrel::avx512::"))
      set(own FALSE)
    endif()
    # The exception-handling personality's address is data, not code.
    if(NOT own AND NOT symbol MATCHES "^DW\\.ref\\.")
      string(APPEND strays "  ${set_name}: ${symbol}\n")
    endif()
  endif()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no symbols of the instruction-set files found in ${LIBRARY}")
endif()
if(NOT strays STREQUAL "")
  message(FATAL_ERROR "shared inline code built for one instruction set:\n${strays}")
endif()
message(STATUS "${checked} weak symbols, each of its own instruction set")
