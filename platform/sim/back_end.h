// Something that answers the uninstaller's device calls: an object with one
// virtual member for each call of its tier (TRQ_DEVICE_CALLS in
// device/device_calls.h), as device/device.h declares it. The simulated
// device serves the trace build's and the kit's calls too (services.h), as
// plain members.
//
// The device code built for this host reaches one through the free
// functions that harness/runner/bound_device.cpp makes from the list
// (RunBound). The simulated device of one run (DeviceSession, services.h)
// is one; harness/runner adds a replay of the calls a device made, from its
// trace.
#ifndef TRQ_SIM_BACK_END_H
#define TRQ_SIM_BACK_END_H

#include "device/device.h"
#include "platform/trace/call_record.h"

namespace sim {

class BackEnd {
public:
    virtual ~BackEnd() = default;

#define TRQ_DECLARE_BACK_END_CALL(type, name, params, args, faults, success, kinds) virtual type name params = 0;
    TRQ_DEVICE_CALLS(TRQ_DECLARE_BACK_END_CALL)
#undef TRQ_DECLARE_BACK_END_CALL

    // Whether the last call ended the run, as a soft reset the device takes
    // or a box nobody answers does on a device, where that call never
    // returns: the device code must make no further call.
    virtual bool Stopped() const = 0;
    // The thread's error code now, what GetLastError would return, read
    // without making a call.
    virtual DWORD ErrorCode() const = 0;

    // Whoever passes the calls on tells the back end of each, before it is
    // made and once it returned, with its words as the program gave them:
    // the simulated device records them (trace.h). Nothing by default.
    virtual void Calling(const device_calls::Row&) {}
    virtual void Returned(const TracedCall&) {}

protected:
    BackEnd() = default;
    BackEnd(const BackEnd&) = default;
    BackEnd& operator=(const BackEnd&) = default;
};

}  // namespace sim

#endif
