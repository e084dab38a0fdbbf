# Cross build for Windows with Debian's mingw-w64 (posix thread model:
# std::mutex and std::thread, which GoogleTest needs): 64-bit, or 32-bit
# through mingw-w64-i686.cmake. Test programs run under Wine (see the top
# CMakeLists.txt).
if(NOT DEFINED KELVRA_MINGW_PROCESSOR)
  set(KELVRA_MINGW_PROCESSOR x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KELVRA_MINGW_PROCESSOR})
set(KELVRA_MINGW_TRIPLET ${KELVRA_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVRA_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KELVRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
