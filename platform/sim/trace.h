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
    // Every record is kept; with a stream, each is also written as one line.
    Trace() = default;
    explicit Trace(std::ostream* out) : out_(out) {}

    void Add(nlohmann::ordered_json record);
    const std::vector<nlohmann::ordered_json>& Records() const { return records_; }

    // Only the records of one operation, e.g. every "DeleteFileW".
    std::vector<nlohmann::ordered_json> Of(const std::string& op) const;

private:
    std::ostream* out_ = nullptr;
    std::vector<nlohmann::ordered_json> records_;
};

}  // namespace sim

#endif
