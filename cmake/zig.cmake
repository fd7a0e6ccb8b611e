# Builds with zig's bundled clang for a chosen target, C library version
# included (OMBRIX_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17): the release
# wheel links against an old glibc so that it installs on old systems too,
# and carries its C++ runtime (libc++) inside the module. OMBRIX_ZIG is the
# zig executable (the ziglang package from PyPI ships one).
set(OMBRIX_ZIG "" CACHE FILEPATH "zig executable")
set(OMBRIX_ZIG_TARGET "" CACHE STRING "zig target triple with C library version")
# The compiler checks run in projects of their own, which need both too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OMBRIX_ZIG OMBRIX_ZIG_TARGET)
if(NOT OMBRIX_ZIG OR NOT OMBRIX_ZIG_TARGET)
  message(FATAL_ERROR "set OMBRIX_ZIG (the zig executable) and OMBRIX_ZIG_TARGET (e.g. x86_64-linux-gnu.2.17)")
endif()

string(REGEX MATCH "^[^-]+" OMBRIX_ZIG_ARCH "${OMBRIX_ZIG_TARGET}")
if(NOT OMBRIX_ZIG_ARCH STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${OMBRIX_ZIG_ARCH})
endif()

# CMake wants one program per tool: small scripts call zig with the target.
set(OMBRIX_ZIG_WRAPPERS ${CMAKE_BINARY_DIR}/zig-${OMBRIX_ZIG_TARGET})
foreach(tool cc c++ ar ranlib)
  if(tool MATCHES "^c")
    set(args "${tool} -target ${OMBRIX_ZIG_TARGET}")
  else()
    set(args "${tool}")
  endif()
  file(CONFIGURE OUTPUT ${OMBRIX_ZIG_WRAPPERS}/${tool} CONTENT "#!/bin/sh\nexec \"${OMBRIX_ZIG}\" ${args} \"$@\"\n")
  file(CHMOD ${OMBRIX_ZIG_WRAPPERS}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${OMBRIX_ZIG_WRAPPERS}/cc)
set(CMAKE_CXX_COMPILER ${OMBRIX_ZIG_WRAPPERS}/c++)
set(CMAKE_AR ${OMBRIX_ZIG_WRAPPERS}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${OMBRIX_ZIG_WRAPPERS}/ranlib CACHE FILEPATH "" FORCE)
