// The steady-state check of a resident driver: a driver that stays loaded until shutdown is never
// asked what it holds at unload, so a request path that keeps a reference, a pool block, a device
// or a handle per request would go unseen. A SteadyState measures what each driver image gained
// across a stretch of work that should leave nothing behind.
#pragma once

#include <map>
#include <string>

namespace km {

class SteadyState {
public:
    // Begins the stretch: what every driver image holds now.
    SteadyState();
    // Lines for what driver images hold now and did not at the start, one per item and image
    // ("driver host: reference to \Device\Disk0 (+1)"); empty when nothing was gained. What was
    // given back meanwhile does not count.
    std::string End() const;

private:
    std::map<std::string, long> begin_;
};

}  // namespace km
