# WebAssembly (wasm32-wasi) with Debian's clang-14, lld-14, wasi-libc and the
# wasm32 builds of compiler-rt and libc++ (packages clang-14 lld-14 wasi-libc
# libclang-rt-14-dev-wasm32 libc++-14-dev-wasm32 libc++abi-14-dev-wasm32).
# CMake 3.25 knows no WASI platform; Generic with a target triple does.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "")
set(CMAKE_EXECUTABLE_SUFFIX .wasm)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# No exceptions in the wasm32 libc++ build: an allocation failure traps,
# and the page reports it.
set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions")
# Headers and libraries come from the target's folders only, never from the
# build machine's /usr/include (its Highway, for one, would bring glibc's
# headers along).
set(CMAKE_FIND_ROOT_PATH /usr/lib/wasm32-wasi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
