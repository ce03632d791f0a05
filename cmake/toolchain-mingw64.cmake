# Cross-build for 64-bit Windows with Debian's mingw-w64 (the POSIX thread model, for std::thread
# and std::mutex). Programs link the C and C++ runtimes statically, so one .exe runs without DLLs
# beside it. Built programs run under Wine: CTest starts every test through it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNET_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TARNET_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TARNET_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TARNET_MINGW_TRIPLET}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNET_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release programs ship without symbols (tarnet-update.exe: 3.0 MB with, 1.4 MB without).
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# Tests run the .exe files through Wine, by way of wine-run.sh (it starts a program once more when
# Wine failed to start it at all). A missing Wine is not an error for building, but then nothing can
# run: the test command checks for it and fails loudly.
find_program(TARNET_WINE NAMES wine wine64)
if(TARNET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
endif()
