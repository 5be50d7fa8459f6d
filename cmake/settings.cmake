# Compile settings shared by every target of the project.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_C_STANDARD 11)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

add_compile_options(-Wall -Wextra -Wshadow -Wformat=2
                    -Wno-missing-field-initializers)
if(GRIMBY_WERROR)
  # Warnings that point at real faults; style warnings stay warnings.
  add_compile_options(-Werror=return-type -Werror=format-security -Werror=format-overflow
                      -Werror=array-bounds -Werror=uninitialized -Werror=maybe-uninitialized
                      -Werror=stringop-overflow -Werror=nonnull -Werror=address
                      -Werror=sizeof-pointer-memaccess -Werror=restrict -Werror=shadow
                      -Werror=unused-result)
endif()

if(GRIMBY_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(GRIMBY_FUZZ AND NOT WIN32)
  # Every unit carries the fuzzer's coverage counters; only the fuzzers
  # link its driver. clang evaluates the compile-time picture checks in
  # more steps than it allows by default.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -fconstexpr-steps=200000000)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # Static runtime: the programs run on a machine without MinGW's DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # The object format the link checks expect of this build's programs.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(GRIMBY_PE_FORMAT pei-i386)
  else()
    set(GRIMBY_PE_FORMAT pei-x86-64)
  endif()
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

# Product code is built without exceptions and RTTI; tests may use both.
function(grimby_product_target target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
endfunction()

set(GRIMBY_OS_DIR $<IF:$<BOOL:${WIN32}>,win32,posix>)
if(WIN32)
  set(GRIMBY_OS win32)
else()
  set(GRIMBY_OS posix)
endif()

# Where this build's networked features point. Each is host[:port]; a
# network runs its own hub, so these are set per build, not in code. Test
# builds point them at the hub the tests start on 127.0.0.1 (it must be
# named localhost, the name its certificate carries).
set(GRIMBY_HUB_HOST "hub.grimby.example" CACHE STRING
    "Score hub host[:port]: enrollment, score exchange and release files")
add_compile_definitions(GRIMBY_HUB_HOST="${GRIMBY_HUB_HOST}")
