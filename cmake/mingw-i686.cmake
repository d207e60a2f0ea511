# Cross-compiles the Windows program (32-bit, the shipped one) with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DIRHTTP_MINGW_TRIPLE i686-w64-mingw32)
# The posix threading variant: its runtime is linked in statically like the rest (-static).
set(CMAKE_C_COMPILER ${DIRHTTP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DIRHTTP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DIRHTTP_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${DIRHTTP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
