# The release kit's own project (copied to kit/CMakeLists.txt): builds the sample module, or a
# module of your own added beside it, from the kit alone.
#   cmake -S kit -B out -G Ninja --toolchain kit/cmake/windows/clang-x86_64.cmake && cmake --build out
cmake_minimum_required(VERSION 3.25)
project(filterhost_modules LANGUAGES C CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
include(cmake/FilterModule.cmake)
add_subdirectory(modules/sample)
