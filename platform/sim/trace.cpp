#include "platform/sim/trace.h"

namespace sim {

namespace {

void PutNotes(TraceLine& line, const SimNotes& notes)
{
    if (notes.Empty()) return;
    PutKey(line, "sim");
    OpenObject(line);
    if (notes.process) {
        PutKey(line, "process");
        PutUnsigned(line, static_cast<ULONG_PTR>(notes.process));
    }
    if (!notes.fault.empty()) {
        PutKey(line, "fault");
        PutText(line, notes.fault.c_str());
    }
    if (!notes.heldBy.empty()) {
        PutKey(line, "heldBy");
        PutText(line, notes.heldBy.c_str());
    }
    if (notes.started) {
        PutKey(line, "started");
        PutUnsigned(line, static_cast<ULONG_PTR>(notes.started));
    }
    if (notes.ended) {
        PutKey(line, "ended");
        PutUnsigned(line, static_cast<ULONG_PTR>(notes.ended));
    }
    CloseObject(line);
}

}  // namespace

void Trace::Start(const std::string& build, const DeviceFacts& facts)
{
    if (!out_) return;
    char text[kTraceLineSize];
    const unsigned length = WriteFactsRecord(build.c_str(), facts, text, sizeof text);
    out_->write(text, length);
}

void Trace::Calling(const device_calls::Row& call, const SimNotes& notes)
{
    if (!out_) return;
    char text[kTraceLineSize];  // the device's line, and the simulated device's notes
    TraceLine line;
    LineBegin(line, text, sizeof text);
    PutKey(line, "calling");
    PutText(line, call.name);
    PutNotes(line, notes);
    out_->write(text, LineEnd(line));
}

void Trace::Returned(const TracedCall& call, const SimNotes& notes)
{
    if (out_) {
        char text[kTraceLineSize];
        TraceLine line;
        LineBegin(line, text, sizeof text);
        PutCallRecord(line, call);
        PutNotes(line, notes);
        out_->write(text, LineEnd(line));
    }
    if (!keep_) return;
    records_.push_back(CaptureCall(call));
    records_.back().sim = notes;
}

void Trace::EndedRun(const TracedCall& call, const SimNotes& notes)
{
    if (!keep_) return;
    endedIn_ = CaptureCall(call);
    endedIn_->sim = notes;
}

std::vector<RecordedCall> Trace::Of(const device_calls::Row& call) const
{
    std::vector<RecordedCall> found;
    for (const RecordedCall& record : records_)
        if (record.call == &call) found.push_back(record);
    return found;
}

}  // namespace sim
