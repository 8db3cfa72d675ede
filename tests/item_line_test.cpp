// The line an item is listed on: the same words in the run report and in
// --status, whoever holds the file.
#include <gtest/gtest.h>

#include "platform/sim/plan_items.h"

namespace trq_test {
namespace {

using R = sim::HoldRule;

struct LineCase {
    std::string name;
    sim::PlanItem item;
    std::vector<std::u16string> heldOpen;
    std::vector<sim::DeviceHold> heldByDevice;
    std::string line;
};

TEST(ItemLine, KindNameAndWhoHoldsAFile)
{
    const sim::PlanItem util{sim::PlanItem::File, "\\Windows\\TRQUtil.exe"};
    const LineCase cases[] = {
        {"file nobody holds", util, {u"\\Windows\\TRQUtil.exe.log"}, {{R::Startup, u"\\Windows\\TRQUtil"}},
         "file   \\Windows\\TRQUtil.exe"},
        {"held by a program the user started", util, {u"\\Windows\\TRQUtil.exe"}, {},
         "file   \\Windows\\TRQUtil.exe  (held open: user)"},
        {"held by the device, spelled otherwise", util, {}, {{R::Service, u"windows//trqutil.EXE"}},
         "file   \\Windows\\TRQUtil.exe  (held open: Service)"},
        // The device's rules in the order it lists them, the user last.
        {"held under two rules and by the user", util, {u"\\WINDOWS\\TRQUTIL.EXE"},
         {{R::Sync, u"\\Windows\\TRQUtil.exe"}, {R::Service, u"\\Windows\\AtlasGps.dll"},
          {R::Startup, u"\\Windows\\TRQUtil.exe"}},
         "file   \\Windows\\TRQUtil.exe  (held open: Sync, Startup, user)"},
        {"folder named as held", {sim::PlanItem::Folder, "\\Program Files\\TRQ"},
         {u"\\Program Files\\TRQ"}, {{R::Startup, u"\\Program Files\\TRQ"}},
         "folder \\Program Files\\TRQ"},
        {"key", {sim::PlanItem::Key, "HKEY_CURRENT_USER\\Software\\TRQ\\Sync"}, {}, {},
         "key    HKEY_CURRENT_USER\\Software\\TRQ\\Sync"},
    };
    for (const LineCase& c : cases) {
        sim::DeviceConfig config;
        config.heldOpen = c.heldOpen;
        config.heldByDevice = c.heldByDevice;
        EXPECT_EQ(sim::ItemLine(c.item, config), c.line) << c.name;
    }
}

}  // namespace
}  // namespace trq_test
