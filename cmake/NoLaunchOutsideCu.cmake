# cmake -DFILES=<file;...> -P NoLaunchOutsideCu.cmake, or -DLIST=<a file naming one a line>
#
# Fails, naming file and line, where a C++ source or header that is not a .cu file holds a
# kernel launch (<<<). The host compiler would only say "expected primary-expression"
# there; this says why. String literals and // comments are not looked at.
if(LIST)
  file(STRINGS ${LIST} FILES)
endif()
set(found 0)
foreach(f ${FILES})
  file(READ ${f} text)
  set(line0 0)
  string(FIND "${text}" "<<<" at)
  while(at GREATER -1)
    string(SUBSTRING "${text}" 0 ${at} before)
    string(SUBSTRING "${text}" ${at} -1 text)
    string(REGEX MATCHALL "\n" breaks "${before}")
    list(LENGTH breaks n)
    math(EXPR line "${line0} + ${n} + 1")
    math(EXPR line0 "${line} - 1")
    # The whole line: the part before <<< and the part from it.
    string(REGEX REPLACE "^.*\n" "" head "\n${before}")
    string(FIND "${text}" "\n" eol)
    string(SUBSTRING "${text}" 0 ${eol} tail)
    string(REGEX REPLACE "\"([^\"\\\\]|\\\\.)*\"" "\"\"" code "${head}${tail}")
    string(REGEX REPLACE "//.*" "" code "${code}")
    if(code MATCHES "<<<")
      message(NOTICE "${f}:${line}: error: a kernel launch (<<<>>>) builds in .cu files only: nvcc compiles "
                     "only those as CUDA, and the cpu backend translates the launches of those only; "
                     "call a function of a .cu file that launches")
      math(EXPR found "${found} + 1")
    endif()
    string(SUBSTRING "${text}" 3 -1 text)
    string(FIND "${text}" "<<<" at)
  endwhile()
endforeach()
if(found)
  message(FATAL_ERROR "${found} kernel launch(es) outside .cu files")
endif()
