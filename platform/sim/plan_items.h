// What the uninstaller's plans name on a given device, and whether each is
// there: the yardstick for "is the package gone".
#ifndef TRQ_SIM_PLAN_ITEMS_H
#define TRQ_SIM_PLAN_ITEMS_H

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/device_image.h"

namespace sim {

struct PlanItem {
    enum Kind { File, Folder, Key } kind;
    std::string name;  // "\Windows\TRQUtil.exe" or "HKEY_CURRENT_USER\Software\TRQ\Sync"
    bool present = false;
};

// The install directory the install record holds ("InstallDir", else
// "InstDir"), if it holds one.
std::optional<std::u16string> RecordedInstallDir(const Registry& registry);

// Every file, folder and key of the plans, resolved against installDir and
// the device's folders (or those of `folders`), in plan order. Rows whose
// folder cannot be named are left out.
std::vector<PlanItem> PlanItems(const DeviceImage& image, const std::u16string& installDir,
                                const DeviceConfig* folders = nullptr);

}  // namespace sim

#endif
