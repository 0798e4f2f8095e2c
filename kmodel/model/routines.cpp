// The routine areas' part of a driver's unload and of the model's shutdown: the checks that stop
// an unload leaving something the kernel would still run or walk in the driver's memory come
// first, then the lines for what the driver left allocated.
#include "internal/routines.h"

std::string KmRoutinesOfImage(const void* image)
{
    KmCheckTimersOfImage(image);
    KmCheckLookasideListsOfImage(image);
    return KmMdlsOfImage(image);
}

std::string KmRoutinesShutdownReport() {
    std::string lines = KmTimerShutdownReport();
    lines += KmLookasideShutdownReport();
    return lines + KmMdlShutdownReport();
}
