// hostctl.exe: the controller as a Windows console program.
#include <cstdio>

#include "hostctl/hostctl.h"

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string out;
    int exitCode = HostCtlRun(arguments, &out);
    std::fputs(out.c_str(), stdout);
    return exitCode;
}
