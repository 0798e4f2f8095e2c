// hostctl.exe: the controller as a Windows console program.
#include <cstdio>

#include "hostctl/hostctl.h"

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string out;
    // load --stay: show what happened so far, then keep the loading process alive until Enter.
    auto stay = [](std::string* soFar) {
        std::fputs(soFar->c_str(), stdout);
        std::fflush(stdout);
        soFar->clear();
        (void)std::getchar();
    };
    int exitCode = HostCtlRun(arguments, &out, stay);
    std::fputs(out.c_str(), stdout);
    return exitCode;
}
