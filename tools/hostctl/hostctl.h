// The controller: one invocation with its arguments, as from the command line. Prints to `out`
// and answers the process exit code. The same code runs on Windows (hostctl.exe) and in the model,
// on a thread of a model user process.
#pragma once

#include <functional>
#include <string>
#include <vector>

constexpr const char* HostCtlDefaultService = "filterhost";

// `stay` is what `load --stay` does after a successful load while the loading process must live on
// (the host unloads a module when its loader exits): hostctl.exe prints `out` so far and waits for
// Enter. Without it, --stay is refused.
int HostCtlRun(const std::vector<std::string>& arguments, std::string* out,
               const std::function<void(std::string* out)>& stay = {});
