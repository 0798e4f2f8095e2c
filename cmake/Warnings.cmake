# Warnings are errors in every build.
set(FILTERHOST_WARNINGS -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wno-missing-field-initializers)

# Kernel-side code: no exceptions, no RTTI, no static constructors (guarded statics would need the
# C++ runtime), no thread-safe static initialisation.
set(FILTERHOST_KERNEL_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-asynchronous-unwind-tables)
# Kernel-side code built for the model keeps its unwind tables: the model's verifier walks the
# stack through it to tell whether pageable code ran at DISPATCH_LEVEL.
set(FILTERHOST_MODEL_KERNEL_FLAGS ${FILTERHOST_KERNEL_FLAGS} -fasynchronous-unwind-tables)
