#include "tests/scenarios.h"

#include "formats/text.h"
#include "platform/sim/device_startup.h"
#include "tests/expected/expected_plan.h"
#include "tests/test_device.h"

namespace trq_test {

std::string BoxName(Box box) { return expected::Words(box).name; }
std::u16string BoxText(Box box) { return expected::Words(box).text; }
uint32_t BoxFlags(Box box) { return expected::Words(box).flags; }

namespace {

const std::u16string kDir = u"\\Program Files\\TRQ";
const std::vector<std::u16string> kNineCounted = expected::CountedFiles(kDir);

std::set<std::string> Names(std::initializer_list<const char*> names)
{
    return std::set<std::string>(names.begin(), names.end());
}

// What a partial run leaves besides the files held open: the install
// folder, which is not empty, the settings and the install record.
std::set<std::string> PartialLeft(const std::set<std::string>& held)
{
    return Union({held, Names({"\\Program Files\\TRQ"}), SettingsKeys(), InstallRecordKeys()});
}

std::set<std::string> Without(std::set<std::string> all, const std::set<std::string>& gone)
{
    for (const std::string& name : gone) all.erase(name);
    return all;
}

// Takes the package off the device by hand: every file, and every key too
// unless keepKeys.
void RemovePlanItems(sim::DeviceImage& d, const std::set<std::string>& items, bool keepKeys)
{
    for (const std::string& name : items) {
        std::u16string path(name.begin(), name.end());  // the sample's names are ASCII
        if (name[0] == '\\') {
            if (name != "\\Program Files\\TRQ") RemoveFile(d, path);
            continue;
        }
        if (keepKeys) continue;
        size_t slash = path.find(u'\\');
        std::u16string root = path.substr(0, slash);
        formats::Root r = root == u"HKEY_CLASSES_ROOT"   ? formats::Root::ClassesRoot
                      : root == u"HKEY_CURRENT_USER" ? formats::Root::CurrentUser
                                                     : formats::Root::LocalMachine;
        d.registry.keys.Delete(r, path.substr(slash + 1));
    }
    if (!keepKeys) d.Files().RemoveDirectory(u"\\Program Files\\TRQ");
}

const int Y = 6, N = 7, C = 2;  // IDYES, IDNO, IDCANCEL

std::vector<Scenario> Make()
{
    using B = Box;
    const std::set<std::string> everything = AllPlanItems();
    const std::set<std::string> none;
    std::vector<Scenario> s;

    s.push_back({"clean, settings removed", nullptr, {Y, Y},
                 {B::Confirmation, B::SettingsQuestion, B::Success}, false, none, ""});
    s.push_back({"clean, settings kept", nullptr, {Y, N},
                 {B::Confirmation, B::SettingsQuestion, B::Success}, false, SettingsKeys(), ""});
    s.push_back({"consent refused", nullptr, {N}, {B::Confirmation, B::NotRemoved}, false,
                 everything, ""});
    s.push_back({"consent cancelled", nullptr, {C}, {B::Confirmation, B::NotRemoved}, false,
                 everything, ""});
    s.push_back({"no install record",
                 [](sim::DeviceImage& d) { RemoveKey(d, formats::Root::LocalMachine, kInstallRecord); },
                 {}, {B::LookupFailure, B::NotRemoved}, false,
                 Without(everything, Names({"HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Vantrelle PocketPC Edition"})),
                 ""});
    s.push_back({"install record with neither value",
                 [](sim::DeviceImage& d) {
                     RemoveValue(d, formats::Root::LocalMachine, kInstallRecord, u"InstallDir");
                     RemoveValue(d, formats::Root::LocalMachine, kInstallRecord, u"InstDir");
                 },
                 {}, {B::LookupFailure, B::NotRemoved}, false, everything, ""});
    s.push_back({"InstDir only",
                 [](sim::DeviceImage& d) {
                     RemoveValue(d, formats::Root::LocalMachine, kInstallRecord, u"InstallDir");
                 },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false, none, ""});
    s.push_back({"empty InstallDir falls back to InstDir",
                 [](sim::DeviceImage& d) {
                     SetString(d, formats::Root::LocalMachine, kInstallRecord, u"InstallDir", u"");
                 },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false, none, ""});
    s.push_back({"both values empty",
                 [](sim::DeviceImage& d) {
                     SetString(d, formats::Root::LocalMachine, kInstallRecord, u"InstallDir", u"");
                     SetString(d, formats::Root::LocalMachine, kInstallRecord, u"InstDir", u"");
                 },
                 {}, {B::LookupFailure, B::NotRemoved}, false, everything, ""});
    for (int answer : {Y, N, C}) {
        s.push_back({std::string("one file held open, reset offer answered ") +
                         (answer == Y ? "Yes" : answer == N ? "No" : "Cancel"),
                     [](sim::DeviceImage& d) { HoldOpen(d, kDir + u"\\TRQ.exe"); },
                     {Y, answer}, {B::Confirmation, B::ResetOffer, B::NotRemoved}, answer == Y,
                     PartialLeft(Names({"\\Program Files\\TRQ\\TRQ.exe"})), ""});
    }
    std::set<std::string> counted;
    for (const std::u16string& path : kNineCounted) counted.insert(formats::Utf16ToUtf8Lossy(path));
    s.push_back({"all nine counted files held open",
                 [](sim::DeviceImage& d) {
                     for (const std::u16string& path : kNineCounted) HoldOpen(d, path);
                 },
                 {Y, N}, {B::Confirmation, B::ResetOffer, B::NotRemoved}, false, PartialLeft(counted), ""});
    // The running utility keeps its shortcut open: the utility is left
    // alone and not counted, so nothing stands in the way of the clean path.
    s.push_back({"Startup shortcut held open",
                 [](sim::DeviceImage& d) {
                     HoldOpen(d, u"\\Windows\\StartUp\\TRQUtil.lnk");
                     HoldOpen(d, u"\\Windows\\TRQUtil.exe");
                 },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false,
                 Names({"\\Windows\\StartUp\\TRQUtil.lnk", "\\Windows\\TRQUtil.exe"}), ""});
    s.push_back({"Startup shortcut missing, utility held open",
                 [](sim::DeviceImage& d) {
                     RemoveFile(d, u"\\Windows\\StartUp\\TRQUtil.lnk");
                     HoldOpen(d, u"\\Windows\\TRQUtil.exe");
                 },
                 {Y, N}, {B::Confirmation, B::ResetOffer, B::NotRemoved}, false,
                 // The install folder is empty, so it goes.
                 Union({Names({"\\Windows\\TRQUtil.exe"}), SettingsKeys(), InstallRecordKeys()}),
                 ""});
    // The utility runs (a program the device started, say): its image is held.
    s.push_back({"the utility running",
                 [](sim::DeviceImage& d) { d.config.running.push_back({u"\\Windows\\TRQUtil.exe", {}, u"", false}); },
                 {Y, Y}, {B::Confirmation, B::ResetOffer, B::NotRemoved}, true,
                 // The install folder is empty, so it goes.
                 Union({Names({"\\Windows\\TRQUtil.exe"}), SettingsKeys(), InstallRecordKeys()}), ""});
    // As the device holds the package once it has started: the utility its
    // Startup shortcut runs and the libraries the registry names.
    s.push_back({"device started, utility and libraries held",
                 [](sim::DeviceImage& d) { sim::StartDevice(d); },
                 {Y, Y}, {B::Confirmation, B::ResetOffer, B::NotRemoved}, true,
                 PartialLeft(Names({"\\Windows\\TRQUtil.exe", "\\Windows\\TRQRemindSvc.dll",
                                    "\\Windows\\TRQNewMenu.dll", "\\Program Files\\TRQ\\DevTRQSync.dll"})),
                 ""});
    // Each story of held files again where a Pocket PC 2003 keeps the files,
    // in the object store, which refuses a held file with access denied
    // rather than a sharing violation. The held files count all the same.
    // Its held Startup shortcut answers so too, so the utility is tried
    // and, held as well, counted.
    for (size_t i = 0, rows = s.size(); i < rows; ++i) {
        if (s[i].boxes != std::vector<Box>{B::Confirmation, B::ResetOffer, B::NotRemoved} &&
            s[i].name != "Startup shortcut held open")
            continue;
        Scenario twin = s[i];
        twin.name += " (object store)";
        twin.prepare = [prepare = s[i].prepare](sim::DeviceImage& d) {
            d.config.device.fileSystem = formats::FileSystem::ObjectStore;
            prepare(d);
        };
        twin.notUnderWine = "Wine answers as desktop Windows, not as a Pocket PC 2003's object store";
        if (twin.name == "Startup shortcut held open (object store)") {
            twin.answers = {Y, N};
            twin.boxes = {B::Confirmation, B::ResetOffer, B::NotRemoved};
            twin.planLeft = Union({Names({"\\Windows\\StartUp\\TRQUtil.lnk", "\\Windows\\TRQUtil.exe"}),
                                   SettingsKeys(), InstallRecordKeys()});
            // The shortcut left starts the utility again at the restart:
            // the next run deletes the shortcut and counts the utility, the
            // one after the next restart finishes.
            twin.restartsToFinish = 2;
        }
        s.push_back(twin);
    }
    s.push_back({"read-only counted file",
                 [](sim::DeviceImage& d) {
                     RemoveFile(d, kDir + u"\\Setup.dll");
                     WriteFile(d, kDir + u"\\Setup.dll", "setup library\r\n", true);
                 },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false, none, ""});
    s.push_back({"install folder holds a foreign file",
                 [](sim::DeviceImage& d) { WriteFile(d, kDir + u"\\notes.txt", "mine\r\n"); },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false,
                 Names({"\\Program Files\\TRQ"}), ""});
    // Another program added a verb to the .trp class. The device deletes it
    // with the class; under Wine it keeps "shell" and the class itself.
    {
        Scenario verb{"another program's verb under the .trp class",
                      [](sim::DeviceImage& d) {
                          SetString(d, formats::Root::ClassesRoot, u"trpfile\\shell\\print\\command",
                                    u"", u"\"\\Windows\\pprint.exe\" \"%1\"");
                      },
                      {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false, none, ""};
        verb.goneWithPlanKeys = Names({"HKEY_CLASSES_ROOT\\trpfile\\shell\\print",
                                       "HKEY_CLASSES_ROOT\\trpfile\\shell\\print\\command"});
        const char* why = "desktop RegDeleteKeyW refuses a key that has sub-keys, "
                          "Windows CE deletes them with it";
        for (const char* key : {"HKEY_CLASSES_ROOT\\trpfile\\shell", "HKEY_CLASSES_ROOT\\trpfile",
                                "HKEY_CLASSES_ROOT\\trpfile\\shell\\print",
                                "HKEY_CLASSES_ROOT\\trpfile\\shell\\print\\command"})
            verb.wineDifferences.push_back({key, true, why});
        s.push_back(verb);
    }
    s.push_back({"files already gone, install record left",
                 [everything](sim::DeviceImage& d) { RemovePlanItems(d, everything, true); },
                 {Y, N}, {B::Confirmation, B::SettingsQuestion, B::Success}, false, SettingsKeys(), ""});
    s.push_back({"nothing installed at all",
                 [everything](sim::DeviceImage& d) { RemovePlanItems(d, everything, false); },
                 {}, {B::LookupFailure, B::NotRemoved}, false, none, ""});
    s.push_back({"Startup folder unknown",
                 [](sim::DeviceImage& d) { d.config.startup.clear(); },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false,
                 Names({"\\Windows\\StartUp\\TRQUtil.lnk", "\\Windows\\TRQUtil.exe"}),
                 "Wine always knows its Startup folder"});
    s.push_back({"Programs folder unknown",
                 [](sim::DeviceImage& d) { d.config.programs.clear(); },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false,
                 Names({"\\Windows\\Start Menu\\Programs\\TRQ.lnk",
                        "\\Windows\\Start Menu\\Programs\\TRQ Jotlet.lnk"}),
                 "Wine always knows its Programs folder"});
    s.push_back({"temporary folder unknown",
                 [](sim::DeviceImage& d) { d.config.temp.clear(); },
                 {Y, Y}, {B::Confirmation, B::SettingsQuestion, B::Success}, false,
                 Names({"\\Temp\\TRQUtil.log", "\\Temp\\TRQRemindSvc.dll.log", "\\Temp\\TRQSetup.log"}),
                 "Wine always has a temporary folder"});
    return s;
}

}  // namespace

const std::vector<Scenario>& SharedScenarios()
{
    static const std::vector<Scenario> scenarios = Make();
    return scenarios;
}

}  // namespace trq_test
