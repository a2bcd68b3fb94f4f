# cmake -DNM=<nm> -DMODULE=<module.so> -P no_cxx_runtime.cmake
#
# Fails when a module needs the C++ runtime.  The package links none: a
# module that needed today's libstdc++ would lose the manylinux_2_17 policy,
# and, above all, what the runtime does when memory runs out (operator new,
# the containers' throw helpers) ends the process, which no allocation of
# the package may do.  Native memory comes from gco::Vector and gco::String
# (src/common/memory.hpp) instead, which fail into MemoryError; checked
# string_view members (substr, at) are avoided for the same reason.
execute_process(COMMAND "${NM}" -D --undefined-only "${MODULE}"
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${MODULE}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(needed "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* U ([^ @]+).*$" "\\1" name "${line}")
  if(name MATCHES "^(_Z|__cxa_|__gxx_)" AND NOT name MATCHES "^__cxa_(atexit|finalize)$")
    list(APPEND needed "${name}")
  endif()
endforeach()
if(needed)
  list(JOIN needed "\n  " shown)
  message(FATAL_ERROR "${MODULE} needs the C++ runtime (demangle with c++filt):\n  ${shown}\n"
          "Use gco::Vector and gco::String (src/common/memory.hpp), not std containers.")
endif()
