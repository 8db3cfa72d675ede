// What the uninstaller's plans name on a given device, and whether each is
// there: the yardstick for "is the package gone".
#ifndef TRQ_HARNESS_RUNNER_PLAN_ITEMS_H
#define TRQ_HARNESS_RUNNER_PLAN_ITEMS_H

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/device_image.h"

namespace runner {

using formats::DeviceConfig;
using formats::Registry;
using sim::DeviceImage;

struct PlanItem {
    enum Kind { File, Folder, Key } kind;
    // "\Windows\TRQUtil.exe", "\Program Files\TRQ" (a folder without a
    // trailing separator) or "HKEY_CURRENT_USER\Software\TRQ\Sync"
    std::string name;
    bool present = false;
};

// The line an item is listed on wherever the simulator lists it: its kind
// ("file   ", "folder ", "key    ", padded so the names line up), its name,
// and for a file held open, who holds it, the device's rules in
// [HeldByDevice] order, then "user" for a program the user started, then
// "running" for a program programs started ([Running]):
//   file   \Windows\TRQUtil.exe  (held open: Startup, user)
// Folders and keys are never marked.
std::string ItemLine(const PlanItem& item, const DeviceConfig& config);

// The install directory the install record holds ("InstallDir", else
// "InstDir"), if it holds one that fits the device's buffer of MAX_PATH
// characters.
std::optional<std::u16string> RecordedInstallDir(const Registry& registry);

// Every file, folder and key of the plans, resolved against installDir and
// the device's folders (or those of `folders`), in plan order. Rows whose
// folder cannot be named are left out.
std::vector<PlanItem> PlanItems(const DeviceImage& image, const std::u16string& installDir,
                                const DeviceConfig* folders = nullptr);

}  // namespace runner

#endif
