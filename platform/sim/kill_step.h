// For the kill test only. With TRQ_SIM_KILL_AT_STEP=N in the environment,
// the process kills itself with SIGKILL at its Nth step: a step is each
// platform call of a run and each stage of a change on the host (a
// temporary file created, written, renamed; write permission lent or taken
// back). Without it, a step does nothing.
#ifndef TRQ_SIM_KILL_STEP_H
#define TRQ_SIM_KILL_STEP_H

namespace sim {

void KillStep();

}  // namespace sim

#endif
