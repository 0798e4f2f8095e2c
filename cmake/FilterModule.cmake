# filterhost_add_module(<name> SOURCES <source>... [DEFINITIONS <definition>...])
#
# Builds a filter module from one source list, the way the host itself is built:
#   - for the kernel model (Linux): the image <name>.so in the model's image directory, target
#     <name>_image, which km::LoadDriver and ZwLoadDriver find as "\SystemRoot\System32\drivers\<name>.sys";
#   - in the Windows build (clang, lld, mingw-w64 headers): <name>.sys, target <name>_sys, a native
#     image entered at DriverEntry whose imports are checked to come only from ntoskrnl.exe and
#     hal.dll, and whose sections are checked (tools/check-sections over the module's source folder).
# The sources include <ntifs.h> (the DDK's, or the model's stand-in) and "filterhost/module.h".
# DEFINITIONS are compile definitions of this build only (two builds of one source list tell
# themselves apart by one).
#
# A module author's own project includes this file from a filterhost checkout and calls the
# function; the model build needs the `kmodel` target (add the checkout's kmodel/ first).
set(FILTERHOST_MODULE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
include(${CMAKE_CURRENT_LIST_DIR}/Warnings.cmake)

# A kernel image of the Windows build, host.sys as a module: clang for x86_64-w64-windows-gnu with
# the mingw-w64 DDK headers, linked by lld (the toolchain cmake/windows/clang-x86_64.cmake).
#   -fms-extensions: __try/__except; -fasynchronous-unwind-tables: every routine has its unwind
#   data, which the kernel's unwinder needs to pass an exception through it;
#   a native image entered at DriverEntry, linked as a driver (/driver), INIT discardable.
set(FILTERHOST_WINDOWS_KERNEL_DEFINITIONS _AMD64_ _WIN64 NTDDI_VERSION=0x0A000000 _WIN32_WINNT=0x0A00)
set(FILTERHOST_WINDOWS_KERNEL_OPTIONS ${FILTERHOST_WARNINGS} ${FILTERHOST_KERNEL_FLAGS} -fasynchronous-unwind-tables
    -fms-extensions -fno-stack-protector -mno-red-zone -fno-builtin -fno-strict-aliasing -ffunction-sections
    -fdata-sections)
set(FILTERHOST_WINDOWS_KERNEL_LINK_OPTIONS
    -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections -Wl,--exclude-all-symbols -Wl,--fatal-warnings
    -Wl,--Xlink=-driver "SHELL:-Xlinker --Xlink=-section:INIT,ERD")
set(FILTERHOST_WINDOWS_KERNEL_LIBRARIES ntoskrnl hal gcc)

function(filterhost_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 MODULE "" "" "SOURCES;DEFINITIONS")
  if(NOT MODULE_SOURCES)
    message(FATAL_ERROR "filterhost_add_module(${name}): no SOURCES")
  endif()
  set(root ${FILTERHOST_MODULE_ROOT})

  if(WIN32)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "filterhost_add_module(${name}): the Windows build needs clang and lld "
                          "(toolchain file cmake/windows/clang-x86_64.cmake)")
    endif()
    if(NOT MINGW_DDK_INCLUDE)
      set(MINGW_DDK_INCLUDE ${CMAKE_FIND_ROOT_PATH}/include/ddk)
    endif()
    set(target ${name}_sys)
    add_executable(${target} ${MODULE_SOURCES})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} SUFFIX .sys)
    target_include_directories(${target} PRIVATE ${root}/include)
    target_include_directories(${target} SYSTEM PRIVATE ${MINGW_DDK_INCLUDE})
    # What mingw-w64's <ntifs.h> needs in C++: its intrinsics declared once, and pool tags kept
    # (without POOL_TAGGING ExAllocatePoolWithTag loses its tag).
    target_compile_definitions(${target} PRIVATE ${FILTERHOST_WINDOWS_KERNEL_DEFINITIONS}
      POOL_TAGGING=1 __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset
      ${MODULE_DEFINITIONS})
    target_compile_options(${target} PRIVATE ${FILTERHOST_WINDOWS_KERNEL_OPTIONS})
    target_link_options(${target} PRIVATE ${FILTERHOST_WINDOWS_KERNEL_LINK_OPTIONS})
    target_link_libraries(${target} PRIVATE ${FILTERHOST_WINDOWS_KERNEL_LIBRARIES})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${root}/tools/check-imports $<TARGET_FILE:${target}> native ntoskrnl.exe hal.dll
      COMMAND ${root}/tools/check-sections $<TARGET_FILE:${target}> ${CMAKE_CURRENT_SOURCE_DIR}
      COMMENT "Checking the imports and the sections of ${name}.sys")
    return()
  endif()

  if(NOT TARGET kmodel)
    message(FATAL_ERROR "filterhost_add_module(${name}): the model build needs the kmodel target")
  endif()
  set(target ${name}_image)
  add_library(${target} MODULE ${MODULE_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/images)
  # <ntifs.h> is the model's stand-in for the DDK header.
  target_include_directories(${target} PRIVATE ${root}/include ${root}/kmodel/include/ntmodel)
  target_compile_definitions(${target} PRIVATE ${MODULE_DEFINITIONS})
  target_compile_options(${target} PRIVATE ${FILTERHOST_WARNINGS} ${FILTERHOST_KERNEL_FLAGS})
  target_link_libraries(${target} PRIVATE kmodel)
  # Every symbol the image uses must come from the model; not checked under TSan, whose clang
  # runtime is linked into the test program only.
  if(NOT FILTERHOST_SANITIZE STREQUAL "thread")
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
