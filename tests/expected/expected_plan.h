// What the two plans of the written words name on a given device: each file
// row resolved against the install directory and the device's folders, the
// install directory itself, and each key with its root.
#ifndef TRQ_TESTS_EXPECTED_EXPECTED_PLAN_H
#define TRQ_TESTS_EXPECTED_EXPECTED_PLAN_H

#include <string>
#include <vector>

#include "platform/sim/device_image.h"
#include "tests/expected/expected_words.h"

namespace expected {

struct PlanItem {
    enum Kind { File, Folder, Key } kind;
    // "\Windows\TRQUtil.exe", "\Program Files\TRQ" or
    // "HKEY_CURRENT_USER\Software\TRQ\Sync": paths as the device reads them,
    // doubled separators folded
    std::string name;
    bool present = false;  // on the device PlanItems was given
};

// In plan order; a row whose folder the device cannot name is left out.
// Given a device, each item says whether it is there.
std::vector<PlanItem> PlanItems(const std::u16string& installDir, const formats::DeviceConfig& folders,
                                const sim::DeviceImage* device = nullptr);

// The program files that count when held open, in plan order.
std::vector<std::u16string> CountedFiles(const std::u16string& installDir);

// The folder the device gives for a base; empty when it cannot name one.
std::u16string FolderOf(Base base, const formats::DeviceConfig& folders);

// "HKEY_CLASSES_ROOT" and the others, as the trace names them.
const char* RootName(Root root);

}  // namespace expected

#endif
