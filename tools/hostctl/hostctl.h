// The controller: one invocation with its arguments, as from the command line. Prints to `out`
// and answers the process exit code. The same code runs on Windows (hostctl.exe) and in the model,
// on a thread of a model user process.
#pragma once

#include <string>
#include <vector>

constexpr const char* HostCtlDefaultService = "filterhost";

int HostCtlRun(const std::vector<std::string>& arguments, std::string* out);
