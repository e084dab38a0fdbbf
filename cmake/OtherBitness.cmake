# Windows programs and DLLs of the other bitness than this build's, made
# with the other mingw-w64 compiler: the bridge's helper ships with the
# library, and the tests use a recording library of the other bitness.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELVRA_OTHER_PROCESSOR i686)
  set(KELVRA_OTHER_HELPER_NAME kelvra-mapi32.exe)
else()
  set(KELVRA_OTHER_PROCESSOR x86_64)
  set(KELVRA_OTHER_HELPER_NAME kelvra-mapi64.exe)
endif()
find_program(KELVRA_OTHER_CXX ${KELVRA_OTHER_PROCESSOR}-w64-mingw32-g++-posix REQUIRED)

# kelvra_other_bitness(OUTVAR FILE PROGRAM|LIBRARY SOURCES ... [HEADERS ...]
#                      [FLAGS ...]): builds bin/FILE from the sources (the
# compiler's runtimes linked in; again when a source or header changes) and
# sets OUTVAR to its path. Paths are relative to the source tree.
function(kelvra_other_bitness outvar file kind)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "SOURCES;HEADERS;FLAGS")
  set(output ${CMAKE_BINARY_DIR}/bin/${file})
  set(sources)
  foreach(source IN LISTS arg_SOURCES)
    list(APPEND sources ${PROJECT_SOURCE_DIR}/${source})
  endforeach()
  set(headers ${PROJECT_SOURCE_DIR}/include/mapi/SimpleMapi.h)
  foreach(header IN LISTS arg_HEADERS)
    list(APPEND headers ${PROJECT_SOURCE_DIR}/${header})
  endforeach()
  get_filename_component(folder ${output} DIRECTORY)
  set(flags -std=c++20 -O2 -Wall -Wextra -static -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX)
  if(kind STREQUAL "LIBRARY")
    list(APPEND flags -shared)
    if(KELVRA_OTHER_PROCESSOR STREQUAL "i686")
      list(APPEND flags -Wl,--kill-at) # plain export names for __stdcall
    endif()
  endif()
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${KELVRA_OTHER_CXX} ${flags} ${arg_FLAGS} -o ${output} ${sources}
    DEPENDS ${sources} ${headers}
    COMMENT "Building ${file} (${KELVRA_OTHER_PROCESSOR})"
    VERBATIM)
  set(${outvar} ${output} PARENT_SCOPE)
endfunction()
