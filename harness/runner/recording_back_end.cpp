#include "harness/runner/recording_back_end.h"

#include "flow/uninstall.h"
#include "harness/runner/bound_device.h"
#include "platform/trace/trace_line.h"

namespace runner {

void RecordingBackEnd::WriteCalling(const CallShape& shape)
{
    char text[kTraceLineReserve + 64];
    TraceLine line;
    LineBegin(line, text, sizeof text);
    PutKey(line, "calling");
    PutText(line, shape.name);
    out_.write(text, LineEnd(line));
}

void RecordingBackEnd::WriteRecord(const CallShape& shape, const TraceWord* args, const DWORD* countsIn,
                                   TraceResult result)
{
    char text[kTraceLineSize];
    const TracedCall call{0, shape.name, shape.parameterNames, shape.kinds, shape.count, args, countsIn,
                          result, calls_.ErrorCode()};
    out_.write(text, WriteCallRecord(call, text, sizeof text));
}

void WriteFactsRecord(std::ostream& out, const std::string& build, const DeviceFacts& facts)
{
    char text[1024];
    TraceLine line;
    LineBegin(line, text, sizeof text);
    PutKey(line, "trace");
    PutText(line, "TRQ Uninstall");
    PutKey(line, "build");
    PutText(line, build.c_str());
    PutKey(line, "os");
    OpenObject(line);
    PutKey(line, "major");
    PutUnsigned(line, facts.major);
    PutKey(line, "minor");
    PutUnsigned(line, facts.minor);
    PutKey(line, "build");
    PutUnsigned(line, facts.build);
    PutKey(line, "platform");
    PutUnsigned(line, facts.platform);
    PutKey(line, "csd");
    PutString16(line, facts.csd, ~0u);
    CloseObject(line);
    PutKey(line, "platformType");
    PutText(line, facts.platformType);
    PutKey(line, "oem");
    PutText(line, facts.oem);
    out.write(text, LineEnd(line));
}

Program TracedAsDevice(std::ostream& out, const std::string& build)
{
    return [&out, build](sim::DeviceSession& device) {
        WriteFactsRecord(out, build, kSimulatedDeviceFacts);
        RecordingBackEnd recorder(device, out);
        return RunBound(recorder, RunUninstall);
    };
}

}  // namespace runner
