# Warnings are errors in every build.
set(FILTERHOST_WARNINGS -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wno-missing-field-initializers)

# Kernel-side code: no exceptions, no RTTI, no static constructors (guarded statics would need the
# C++ runtime), no thread-safe static initialisation.
set(FILTERHOST_KERNEL_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-asynchronous-unwind-tables)
