// DbgPrint: the kernel debugger's output, which in the model is stderr.
#include <cstdarg>
#include <cstdio>

#include "ntmodel/ntifs.h"

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    vfprintf(stderr, Format, arguments);
    va_end(arguments);
    return STATUS_SUCCESS;
}
