# Cross toolchain of the Windows preset: clang for the x86_64-w64-windows-gnu target against
# Debian's mingw-w64 headers and libraries, linked by lld. clang compiles __try/__except/__finally
# (with -fms-extensions) into .pdata/.xdata that name __C_specific_handler, which ntoskrnl.exe
# exports; mingw-gcc cannot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FILTERHOST_WINDOWS_TRIPLE x86_64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${FILTERHOST_WINDOWS_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${FILTERHOST_WINDOWS_TRIPLE})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")
# clang does not find Debian's gcc directory for the target (named 12-win32 or 12-posix): libgcc and
# libstdc++ (for hostctl.exe) are taken from where the mingw-w64 gcc of the same flavour keeps them.
execute_process(COMMAND x86_64-w64-mingw32-gcc -print-libgcc-file-name
                OUTPUT_VARIABLE FILTERHOST_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(FILTERHOST_MINGW_GCC_DIR ${FILTERHOST_MINGW_LIBGCC} DIRECTORY)
set(cxx_include ${FILTERHOST_MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${cxx_include} -isystem ${cxx_include}/x86_64-w64-mingw32 -isystem ${cxx_include}/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${FILTERHOST_MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${FILTERHOST_MINGW_GCC_DIR}")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The DDK headers live in include/ddk of the mingw-w64 headers.
set(MINGW_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)
