# Shared by both MinGW toolchain files; KELB_TRIPLE is set by the includer.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KELB_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELB_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELB_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KELB_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime: the DLLs must not import the MinGW thread or C++ runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Test programs run under Wine of the target's bitness.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
