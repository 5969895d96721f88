# Cross build for Windows x64 with Debian's MinGW-w64 toolchain (posix thread
# model, which std::thread needs).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
# TILORAN_WINDOWS_DEPS: the libraries cross-built by scripts/build-windows-deps.sh
# (it prints the directory). Its entries link into the libraries' own
# directories beside it in the cache, which are searched too. pkg-config sees
# their files and never the host's.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TILORAN_WINDOWS_DEPS)
if(TILORAN_WINDOWS_DEPS)
  get_filename_component(_tiloran_deps_cache "${TILORAN_WINDOWS_DEPS}" DIRECTORY)
  list(APPEND CMAKE_FIND_ROOT_PATH "${TILORAN_WINDOWS_DEPS}" "${_tiloran_deps_cache}")
  set(ENV{PKG_CONFIG_LIBDIR} "${TILORAN_WINDOWS_DEPS}/lib/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: no MinGW runtime DLLs have to travel with them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Lets CTest run the test programs under Wine on a Linux host. Debian's wine64
# package keeps its launcher outside the PATH.
find_program(TILORAN_WINE64 NAMES wine64 PATHS /usr/lib/wine)
if(TILORAN_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TILORAN_WINE64})
endif()
