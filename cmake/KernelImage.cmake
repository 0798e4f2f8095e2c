# filterhost_add_image(<target> <file name> <sources>...): a kernel image for the model, built as
# a shared object named <file name>.so in the image directory, where km::LoadImage and
# km::LoadDriver find it. Every symbol it uses must come from the model; that is not checked under
# TSan and the fuzz build, whose clang runtimes are linked into the program only.
function(filterhost_add_image target file_name)
  add_library(${target} MODULE ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${file_name}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/images)
  target_include_directories(${target} PRIVATE ${FILTERHOST_KERNEL_INCLUDES})
  target_compile_options(${target} PRIVATE ${FILTERHOST_WARNINGS} ${FILTERHOST_MODEL_KERNEL_FLAGS})
  target_link_libraries(${target} PRIVATE kmodel)
  if(NOT FILTERHOST_SANITIZE MATCHES "^(thread|fuzz)$")
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
