#include "platform/sim/trace.h"

namespace sim {

void Trace::Add(nlohmann::ordered_json record)
{
    if (out_) *out_ << record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    if (keep_) records_.push_back(std::move(record));
}

std::vector<nlohmann::ordered_json> Trace::Of(const std::string& op) const
{
    std::vector<nlohmann::ordered_json> found;
    for (const auto& record : records_)
        if (record["op"] == op) found.push_back(record);
    return found;
}

}  // namespace sim
