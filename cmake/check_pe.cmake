# Shared by the checks run after a Windows program this machine cannot start
# links: reads its headers with objdump and stops the build unless it has the
# given format and subsystem (2 window, 3 console) and imports no DLL but the
# allowed ones (a regular expression of upper-case base names), since the
# programs are linked statically. Leaves objdump's output in `headers`.
function(grimby_check_pe exe objdump format subsystem allowed)
  execute_process(COMMAND ${objdump} -p ${exe} OUTPUT_VARIABLE out RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${objdump} cannot read ${exe}")
  endif()
  if(NOT out MATCHES "file format ${format}")
    message(FATAL_ERROR "${exe} is not ${format}")
  endif()
  if(NOT out MATCHES "Subsystem[ \t]+0000000${subsystem}")
    if(subsystem EQUAL 2)
      message(FATAL_ERROR "${exe} is not a window program")
    endif()
    message(FATAL_ERROR "${exe} is not a console program")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${out}")
  foreach(dll IN LISTS dlls)
    string(TOUPPER "${dll}" dll)
    if(NOT dll MATCHES "DLL NAME: (${allowed}|API-MS-WIN-[A-Z0-9-]+)\\.DLL")
      message(FATAL_ERROR "${exe} needs ${dll}")
    endif()
  endforeach()
  set(headers "${out}" PARENT_SCOPE)
endfunction()
