// The report after a run: what was removed from the device, and what of the
// uninstaller's plans is still there.
#ifndef TRQ_TOOLS_CHANGE_REPORT_H
#define TRQ_TOOLS_CHANGE_REPORT_H

#include <ostream>
#include <string>
#include <vector>

#include "harness/runner/plan_items.h"
#include "platform/sim/device_image.h"

namespace tool {

// Every file, folder and key on the device, files first, then folders, then
// keys, each kind by name; folders without their trailing separator.
std::vector<runner::PlanItem> DeviceContents(const sim::DeviceImage& image);

// Writes what left the device since before (its DeviceContents then), and
// the items of the plans for installDir that it still holds.
void WriteChangeReport(std::ostream& out, const sim::DeviceImage& image, const std::vector<runner::PlanItem>& before,
                       const std::u16string& installDir);

}  // namespace tool

#endif
