#include "platform/sim/kill_step.h"

#include <signal.h>

#include <cstdlib>

namespace sim {

void KillStep()
{
    static const long killAt = [] {
        const char* text = std::getenv("TRQ_SIM_KILL_AT_STEP");
        return text ? std::strtol(text, nullptr, 10) : 0L;
    }();
    static long steps = 0;
    if (killAt > 0 && ++steps == killAt) (void)::raise(SIGKILL);
}

}  // namespace sim
