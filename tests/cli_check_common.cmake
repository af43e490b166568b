# Shared by the command-line checks: a fresh scratch folder WORK, fail() to
# count a failed check, finish() to end with the verdict, and small meshes.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

set(failures 0)
macro(fail message)
  message(SEND_ERROR "${message}")
  math(EXPR failures "${failures} + 1")
endmacro()

macro(finish)
  if(failures GREATER 0)
    message(FATAL_ERROR "${failures} check(s) failed")
  endif()
endmacro()

# A cube of six quads, in OBJ: twelve triangles once split.
function(write_cube_obj path)
  file(WRITE "${path}" "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
       "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 4 8 7 3\nf 1 5 8 4\nf 2 3 7 6\n")
endfunction()
