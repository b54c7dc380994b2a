# Fails the build when an object of the interpreter glue (built without
# exceptions) refers to something that can throw into it:
# - the throwing forms of operator new and the runtime's throw helpers;
# - a function of the standard library compiled outside the glue, except
#   destructors and the conversion of a string to a string_view, which never
#   throw (an unoptimized build calls them out of line);
# - a function of the link logic other than those of its noexcept edge
#   (namespace manilink::edge, which turns every exception into a value).
# Run with -DNM=<nm> -DGLUE_OBJECTS=<list> -DLOGIC_OBJECTS=<list>.

function(symbols out object flags)
  execute_process(COMMAND ${NM} ${flags} ${object} OUTPUT_VARIABLE listing
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REGEX MATCHALL "[^ \n]+\n" lines "${listing}")
  set(names)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" name)
    list(APPEND names "${name}")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# Functions of the logic that the glue may call: those of the edge.
set(logic_defined)
foreach(object IN LISTS LOGIC_OBJECTS)
  symbols(names "${object}" "--defined-only;--format=just-symbols")
  list(APPEND logic_defined ${names})
endforeach()

set(faults)
foreach(object IN LISTS GLUE_OBJECTS)
  symbols(names "${object}" "--undefined-only;--format=just-symbols")
  foreach(name IN LISTS names)
    if(name MATCHES "^_?_ZN?K?St" AND (name MATCHES "D[012]Ev$" OR name MATCHES "cvSt17basic_string_view"))
      # never throws
    elseif(name MATCHES "^_?_Zn[wa][jmy](St11align_val_t)?$" OR name MATCHES "^_?_ZN?K?St"
       OR name MATCHES "__throw_|__cxa_throw|__cxa_rethrow|__cxa_allocate_exception")
      list(APPEND faults "${name} (may throw)")
    elseif(name IN_LIST logic_defined AND NOT name MATCHES "^_?_ZN8manilink4edge")
      list(APPEND faults "${name} (a function of the logic outside its noexcept edge)")
    endif()
  endforeach()
  get_filename_component(file "${object}" NAME)
  foreach(fault IN LISTS faults)
    message(SEND_ERROR "${file} refers to ${fault}")
  endforeach()
  set(faults)
endforeach()
