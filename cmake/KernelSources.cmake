# Kernel-side sources, shared by the model build and the Windows build. Each subsystem's folder
# holds its own .cpp files; the platform header is base/platform.h.
set(FILTERHOST_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
file(GLOB FILTERHOST_BASE_SOURCES CONFIGURE_DEPENDS ${FILTERHOST_ROOT}/base/*.cpp)
file(GLOB FILTERHOST_DIAG_SOURCES CONFIGURE_DEPENDS ${FILTERHOST_ROOT}/diag/*.cpp)
file(GLOB FILTERHOST_DRIVER_SOURCES CONFIGURE_DEPENDS
     ${FILTERHOST_ROOT}/driver/*.cpp ${FILTERHOST_ROOT}/host/*.cpp ${FILTERHOST_ROOT}/fsfilter/*.cpp)
set(FILTERHOST_LIBRARY_SOURCES ${FILTERHOST_BASE_SOURCES} ${FILTERHOST_DIAG_SOURCES})
set(FILTERHOST_KERNEL_INCLUDES ${FILTERHOST_ROOT} ${FILTERHOST_ROOT}/include)
