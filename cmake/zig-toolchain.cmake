# Builds for a wheel: zig's clang, targeting an old glibc (the wheel's manylinux floor) with
# libc++ linked statically, and libraries found only in the prefix of the decoders built for
# that target. scripts/wheels.sh writes the compiler wrappers and sets the environment:
#   QUARN_WHEEL_ARCH  x86_64 or aarch64
#   QUARN_WHEEL_BIN   folder of the wrappers cc, c++, ar, ranlib
#   QUARN_WHEEL_DEPS  prefix of the static decoders (lib/, include/, lib/pkgconfig/)
# Read from the environment, not the cache, so that CMake's trial compilations see them too.
# A cross build only for another processor: CMake's FindPython asks a cross build's questions
# of a pythonX.Y-config found on the path (maybe another build's) rather than the interpreter.
execute_process(COMMAND uname -m OUTPUT_VARIABLE quarn_host OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT quarn_host STREQUAL "$ENV{QUARN_WHEEL_ARCH}")
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "$ENV{QUARN_WHEEL_ARCH}")
endif()
set(CMAKE_C_COMPILER "$ENV{QUARN_WHEEL_BIN}/cc")
set(CMAKE_CXX_COMPILER "$ENV{QUARN_WHEEL_BIN}/c++")
set(CMAKE_AR "$ENV{QUARN_WHEEL_BIN}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$ENV{QUARN_WHEEL_BIN}/ranlib" CACHE FILEPATH "")

# A cross target searches no system folder: the host's headers and libraries are for a newer
# glibc (and maybe another processor).
set(CMAKE_FIND_ROOT_PATH "$ENV{QUARN_WHEEL_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# Small wheels: unused sections dropped, symbols stripped at link time (the host's strip may
# not read the target's objects). zig keeps frame pointers and turns -O3 into clang's -O2
# whatever the build asks; a release build here wants neither.
set(quarn_flags "-ffunction-sections -fdata-sections -fomit-frame-pointer")
set(CMAKE_C_FLAGS_INIT "${quarn_flags}")
set(CMAKE_CXX_FLAGS_INIT "${quarn_flags}")
set(CMAKE_C_FLAGS_RELEASE_INIT "-Xclang -O3")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-Xclang -O3")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--gc-sections -s")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--gc-sections -s")
