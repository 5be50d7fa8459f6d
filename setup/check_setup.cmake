# Run after GRIMBY-SETUP links: the installer this machine may not be able
# to start is checked for what it must be: its format, a window program,
# and resources 2000-2027 of exactly the sizes of the files it carries.
# cmake -DEXE= -DOBJDUMP= -DFORMAT= -DPAYLOAD=payload.txt -P check_setup.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/check_pe.cmake)
grimby_check_pe(${EXE} ${OBJDUMP} ${FORMAT} 2 "KERNEL32|USER32|GDI32|MSVCRT")
# objdump lists the resource tree: the name's id, its language, the leaf
# with the size. Only RCDATA uses ids 2000 and up here.
string(REGEX MATCH "Resource Directory section:.*" tree "${headers}")
file(STRINGS ${PAYLOAD} files)
list(LENGTH files count)
if(NOT count EQUAL 28)
  message(FATAL_ERROR "${PAYLOAD} lists ${count} files, not 28")
endif()
set(index 0)
foreach(file IN LISTS files)
  math(EXPR id "2000 + ${index}")
  file(SIZE ${file} size)
  math(EXPR hex_id "${id}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${hex_id}" 2 -1 hex_id)
  set(found "")
  if(tree MATCHES "Entry: ID: 0x000${hex_id},[^\n]*\n[^\n]*Language Table[^\n]*\n[^\n]*\n[^\n]*Leaf: Addr: 0x[0-9a-f]+, Size: (0x[0-9a-f]+)")
    math(EXPR found "${CMAKE_MATCH_1}")
  endif()
  if(NOT found STREQUAL "${size}")
    message(FATAL_ERROR "${EXE}: resource ${id} should carry ${file} (${size} bytes), has '${found}'")
  endif()
  math(EXPR index "${index} + 1")
endforeach()
