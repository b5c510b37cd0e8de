# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model:
# the win32 one has no std::mutex or std::thread).
#
#   cmake --preset win64        (uses this file; binary dir build-win/)
#
# OAM_WIN_DEPS (cache or environment) is the prefix where
# scripts/deps-win.sh built GoogleTest and minizip with this same toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OAM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OAM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OAM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OAM_MINGW_TRIPLE}-windres)

if(NOT OAM_WIN_DEPS AND DEFINED ENV{OAM_WIN_DEPS})
  set(OAM_WIN_DEPS "$ENV{OAM_WIN_DEPS}")
endif()
if(NOT OAM_WIN_DEPS)
  if(DEFINED ENV{XDG_CACHE_HOME})
    set(OAM_WIN_DEPS "$ENV{XDG_CACHE_HOME}/oamsdk/win64-deps")
  else()
    set(OAM_WIN_DEPS "$ENV{HOME}/.cache/oamsdk/win64-deps")
  endif()
endif()
set(OAM_WIN_DEPS "${OAM_WIN_DEPS}" CACHE PATH "Prefix of the cross-built GoogleTest and minizip")

set(CMAKE_FIND_ROOT_PATH /usr/${OAM_MINGW_TRIPLE} ${OAM_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also from CMAKE_PREFIX_PATH as given (an installed oamsdk), after
# the cross prefixes.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Programs built here run under Wine (tests, tools that generate data).
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()

# Where the MinGW runtime DLLs live; the install copies the ones needed.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE _oam_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(_oam_libstdcxx)
  get_filename_component(OAM_MINGW_RUNTIME_DIR "${_oam_libstdcxx}" DIRECTORY)
endif()
set(OAM_MINGW_SYSROOT_BIN /usr/${OAM_MINGW_TRIPLE}/lib)
