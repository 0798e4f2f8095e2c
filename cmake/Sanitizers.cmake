# FILTERHOST_SANITIZE=address builds everything with ASan and UBSan, =thread with TSan, =fuzz with
# ASan, UBSan and libFuzzer's coverage (clang), for the fuzz targets under fuzz/.
if(FILTERHOST_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(FILTERHOST_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(FILTERHOST_SANITIZE STREQUAL "fuzz")
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT FILTERHOST_SANITIZE STREQUAL "")
  message(FATAL_ERROR "FILTERHOST_SANITIZE must be address, thread, fuzz or empty")
endif()
