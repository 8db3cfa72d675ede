// The call trace of the simulated device: one JSON object per platform call,
// in call order, with paths and texts exactly as the device code passed them.
#ifndef TRQ_SIM_TRACE_H
#define TRQ_SIM_TRACE_H

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

class Trace {
public:
    // With a stream, each record is written as one line as the call happens.
    // Records are kept in memory only when asked for (keep): a run that
    // loops on a call must not grow the host's memory with its trace.
    Trace() = default;
    Trace(std::ostream* out, bool keep) : out_(out), keep_(keep) {}

    void Add(nlohmann::ordered_json record);
    bool Keeps() const { return keep_; }
    // Whether a record added goes anywhere: to the stream, or kept.
    bool Wanted() const { return out_ || keep_; }
    // Empty unless the trace keeps its records.
    const std::vector<nlohmann::ordered_json>& Records() const { return records_; }

    // Only the kept records of one operation, e.g. every "DeleteFileW".
    std::vector<nlohmann::ordered_json> Of(const std::string& op) const;

private:
    std::ostream* out_ = nullptr;
    bool keep_ = false;
    std::vector<nlohmann::ordered_json> records_;
};

}  // namespace sim

#endif
