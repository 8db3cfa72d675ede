#include "platform/sim/device_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "formats/device_path.h"
#include "formats/text.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/device_image.h"

namespace fs = std::filesystem;

namespace {

std::string Narrow(std::u16string_view s) { return formats::Utf16ToUtf8Lossy(s); }

std::string ReadHost(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

mode_t ModeOf(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// A scratch device image: base/files is the device, base/outside and
// base/x.txt lie beyond it and must never change.
class DeviceFilesTest : public testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        base_ = fs::path(testing::TempDir()) / ("device_files_test." + std::to_string(::getpid()) +
                                                "." + std::to_string(counter++));
        fs::remove_all(base_);
        fs::create_directories(base_ / "files");
        Host("Windows/TRQ.exe", "program");
        Host("Windows/AppMgr/Edition.DLL", "setup");
        Host("Temp/TRQSetup.log", "log");
        Host("Full/a.txt", "a");
        Host("ReadOnly.txt", "ro");
        ::chmod((root() / "ReadOnly.txt").c_str(), 0444);
        fs::create_directories(root() / "Empty");
        Host("../outside/secret.txt", "secret");
        fs::create_directories(base_ / "outside" / "sub");
        Host("../x.txt", "beyond");
        fs::create_symlink(base_ / "outside", root() / "Link");
        fs::create_symlink(base_ / "outside" / "secret.txt", root() / "FileLink");
        fs::create_symlink("../../outside", root() / "Windows" / "Esc");
        fs::create_symlink(base_ / "outside" / "sub", root() / "SubLink");
    }

    void TearDown() override
    {
        // Read-only folders would keep remove_all from emptying them.
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(base_, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink()) ::chmod(it->path().c_str(), 0755);
        }
        fs::remove_all(base_, ec);
    }

    fs::path root() const { return base_ / "files"; }

    void Host(const std::string& relative, const std::string& contents)
    {
        fs::path path = root() / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << contents;
    }

    void ExpectOutsideUntouched()
    {
        EXPECT_EQ(ReadHost(base_ / "outside" / "secret.txt"), "secret");
        EXPECT_EQ(ModeOf(base_ / "outside" / "secret.txt") & S_IWUSR, mode_t(S_IWUSR));
        EXPECT_EQ(ModeOf(base_ / "outside") & S_IWUSR, mode_t(S_IWUSR));
        EXPECT_TRUE(fs::is_directory(base_ / "outside" / "sub"));
        EXPECT_EQ(ReadHost(base_ / "x.txt"), "beyond");
        fs::directory_iterator outside(base_ / "outside");
        EXPECT_EQ(std::distance(outside, fs::directory_iterator()), 2);
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(root() / "Link")));
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(root() / "FileLink")));
    }

    fs::path base_;
};

enum class Op { Delete, Remove, ReadOnly, Writable };

struct ErrorCase {
    Op op;
    std::u16string path;
    uint32_t expected;
    const char16_t* gone;  // what a success takes away, as List() spells it
};

const ErrorCase kErrorCases[] = {
    {Op::Delete, u"\\Windows\\TRQ.exe", 0, u"\\Windows\\TRQ.exe"},
    {Op::Delete, u"\\WINDOWS\\trq.EXE", 0, u"\\Windows\\TRQ.exe"},
    {Op::Delete, u"\\Temp\\\\TRQSetup.log", 0, u"\\Temp\\TRQSetup.log"},
    {Op::Delete, u"Temp/TRQSetup.log", 0, u"\\Temp\\TRQSetup.log"},
    {Op::Delete, u"\\Windows\\Missing.exe", 2, nullptr},
    {Op::Delete, u"\\Nowhere\\TRQ.exe", 3, nullptr},
    {Op::Delete, u"\\Windows\\TRQ.exe\\x", 3, nullptr},
    {Op::Delete, u"\\Windows\\TRQ.exe\\", 2, nullptr},
    {Op::Delete, u"\\Windows", 5, nullptr},
    {Op::Delete, u"\\ReadOnly.txt", 5, nullptr},
    {Op::Delete, u"\\", 5, nullptr},
    {Op::Delete, u"", 3, nullptr},
    {Op::Delete, u"\\Windows\\.\\TRQ.exe", 2, nullptr},
    {Op::Delete, u"\\Windows\\*.exe", 2, nullptr},
    {Op::Remove, u"\\Empty", 0, u"\\Empty\\"},
    {Op::Remove, u"\\empty\\", 0, u"\\Empty\\"},
    {Op::Remove, u"\\Full", 145, nullptr},
    {Op::Remove, u"\\Windows\\TRQ.exe", 267, nullptr},
    {Op::Remove, u"\\Windows\\TRQ.exe\\", 2, nullptr},
    {Op::Remove, u"\\Missing", 2, nullptr},
    {Op::Remove, u"\\Missing\\Sub", 3, nullptr},
    {Op::Remove, u"\\", 5, nullptr},
    {Op::Remove, u"", 3, nullptr},
    {Op::ReadOnly, u"\\Windows\\TRQ.exe", 0, nullptr},
    {Op::ReadOnly, u"\\Windows\\AppMgr", 0, nullptr},
    {Op::ReadOnly, u"\\Windows\\Missing.exe", 2, nullptr},
    {Op::ReadOnly, u"\\Missing\\a", 3, nullptr},
    {Op::Writable, u"\\ReadOnly.txt", 0, nullptr},
    {Op::Writable, u"\\Windows\\TRQ.exe\\", 2, nullptr},
};

uint32_t Apply(Op op, sim::DeviceFiles& files, std::u16string_view path)
{
    switch (op) {
    case Op::Delete: return files.DeleteFile(path);
    case Op::Remove: return files.RemoveDirectory(path);
    case Op::ReadOnly: return files.SetAttributes(path, 0x1);
    case Op::Writable: return files.SetAttributes(path, 0x80);
    }
    return 0;
}

class DeviceFilesErrorTest : public DeviceFilesTest,
                             public testing::WithParamInterface<ErrorCase> {};

TEST_P(DeviceFilesErrorTest, GivesTheDevicesErrorAndChangesOnlyWhatSucceeds)
{
    const ErrorCase& c = GetParam();
    sim::DeviceFiles files(root());
    std::vector<std::u16string> before = files.List();
    const uint32_t result = Apply(c.op, files, c.path);
    EXPECT_EQ(result, c.expected) << Narrow(c.path);

    std::vector<std::u16string> after = files.List();
    if (c.gone) {
        std::vector<std::u16string> expected = before;
        auto it = std::find(expected.begin(), expected.end(), c.gone);
        ASSERT_NE(it, expected.end());
        expected.erase(it);
        EXPECT_EQ(after, expected);
    } else {
        EXPECT_EQ(after, before);
    }
    if (result == 0 && (c.op == Op::ReadOnly || c.op == Op::Writable)) {
        mode_t write = ModeOf(files.Resolve(c.path)) & S_IWUSR;
        EXPECT_EQ(write, c.op == Op::ReadOnly ? 0 : mode_t(S_IWUSR));
    }
    ExpectOutsideUntouched();
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceFilesErrorTest, testing::ValuesIn(kErrorCases));

// The same operations on files/ and on its copy in memory: the same codes,
// the same files left, each left as read-only or writable as the other.
TEST_P(DeviceFilesErrorTest, InMemoryGivesTheSameAnswers)
{
    const ErrorCase& c = GetParam();
    sim::DeviceFiles disk(root());
    std::string error;
    std::optional<sim::DeviceFiles> memory = disk.CopyInMemory(error);
    ASSERT_TRUE(memory) << error;
    EXPECT_EQ(memory->List(), disk.List());
    for (Op op : {c.op, Op::Delete, Op::Remove}) {
        EXPECT_EQ(Apply(op, *memory, c.path), Apply(op, disk, c.path)) << Narrow(c.path);
        EXPECT_EQ(memory->List(), disk.List());
    }
    for (const std::u16string& path : disk.List()) {
        std::string diskHead, memoryHead;
        EXPECT_EQ(memory->ReadHead(path, 2, memoryHead), disk.ReadHead(path, 2, diskHead)) << Narrow(path);
        EXPECT_EQ(memoryHead, diskHead) << Narrow(path);
        EXPECT_EQ(memory->KindOf(path), disk.KindOf(path)) << Narrow(path);
        EXPECT_EQ(memory->Canonical(path), disk.Canonical(path)) << Narrow(path);
    }
    // The copy is apart from the disk.
    EXPECT_TRUE(memory->Resolve(u"\\Windows\\AppMgr").empty());
    EXPECT_EQ(memory->DeleteFile(u"\\Windows\\AppMgr\\Edition.DLL"), 0u);
    EXPECT_TRUE(disk.Exists(u"\\Windows\\AppMgr\\Edition.DLL"));
    ExpectOutsideUntouched();
}

TEST_F(DeviceFilesTest, TheSampleDeviceInMemoryIsTheOneOnDisk)
{
    std::string error;
    ASSERT_TRUE(runner::InitSampleDevice(base_ / "sample", error, runner::SampleState::Started)) << error;
    sim::DeviceImage disk;
    ASSERT_TRUE(sim::LoadDeviceImage(base_ / "sample", disk, error)) << error;
    const sim::DeviceImage memory = runner::SampleDeviceInMemory(runner::SampleState::Started);
    EXPECT_FALSE(memory.OnDisk());
    EXPECT_EQ(memory.Files().List(), disk.Files().List());
    EXPECT_TRUE(memory.registry.keys == disk.registry.keys);
    EXPECT_EQ(memory.config.heldByDevice, disk.config.heldByDevice);
    EXPECT_FALSE(memory.config.heldByDevice.empty());  // it has started
    EXPECT_TRUE(sim::SaveRegistry(memory, error) && sim::SaveConfig(memory, error)) << error;
    for (const char* name : {"registry.reg", "device.ini", "files"}) EXPECT_FALSE(fs::exists(name)) << name;
}

TEST_F(DeviceFilesTest, MatchesNamesCaseInsensitivelyAndKeepsTheirCase)
{
    Host("Dup/Name.txt", "mixed");
    Host("Dup/NAME.txt", "upper");
    Host("Umlaut/\xC3\x84rger.txt", "latin-1");  // "Ärger.txt"
    sim::DeviceFiles files(root());
    struct Case {
        std::u16string query;
        std::u16string canonical;  // empty: not found
    };
    const Case cases[] = {
        {u"\\WINDOWS\\trq.exe", u"\\Windows\\TRQ.exe"},
        {u"//windows//appmgr//edition.dll", u"\\Windows\\AppMgr\\Edition.DLL"},
        {u"windows\\AppMgr\\", u"\\Windows\\AppMgr"},
        {u"\\Dup\\Name.txt", u"\\Dup\\Name.txt"},
        {u"\\Dup\\NAME.txt", u"\\Dup\\NAME.txt"},
        {u"\\Dup\\name.TXT", u"\\Dup\\NAME.txt"},  // no exact match: the first in byte order
        {u"\\umlaut\\\u00E4RGER.txt", u"\\Umlaut\\\u00C4rger.txt"},
        {u"\\Windows\\..\\Windows\\TRQ.exe", u""},
        {std::u16string(u"\\Windows\\TRQ.exe\0", 17), u""},
        {u"\\Windows\\\xD800TRQ.exe", u""},
        {u"\\Windows\\TRQ.exe:x", u""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(files.Canonical(c.query), c.canonical) << Narrow(c.query);
        EXPECT_EQ(files.Exists(c.query), !c.canonical.empty()) << Narrow(c.query);
    }
    EXPECT_EQ(files.Resolve(u"\\WINDOWS\\trq.exe"), root() / "Windows" / "TRQ.exe");
    EXPECT_EQ(ReadHost(files.Resolve(u"\\dup\\name.txt")), "upper");
}

TEST_F(DeviceFilesTest, ReadOnlyFileIsDeletedOnlyAfterItsAttributeIsCleared)
{
    sim::DeviceFiles files(root());
    ASSERT_TRUE(files.WriteFile(u"\\Windows\\Locked.dll", "locked", true));
    EXPECT_EQ(ModeOf(root() / "Windows" / "Locked.dll") & S_IWUSR, 0u);
    EXPECT_EQ(files.DeleteFile(u"\\windows\\locked.dll"), 5u);
    EXPECT_TRUE(files.Exists(u"\\Windows\\Locked.dll"));
    EXPECT_EQ(files.SetAttributes(u"\\windows\\LOCKED.dll", 0x80), 0u);
    EXPECT_EQ(files.DeleteFile(u"\\Windows\\Locked.dll"), 0u);
    EXPECT_FALSE(fs::exists(root() / "Windows" / "Locked.dll"));

    // The same for a folder, whose read-only attribute keeps it from going.
    EXPECT_EQ(files.SetAttributes(u"\\Empty", 0x1), 0u);
    EXPECT_EQ(files.RemoveDirectory(u"\\Empty"), 5u);
    EXPECT_EQ(files.SetAttributes(u"\\Empty", 0x10), 0u);
    EXPECT_EQ(files.RemoveDirectory(u"\\Empty"), 0u);

    // Its files, though, come and go as in any other folder.
    ASSERT_EQ(files.SetAttributes(u"\\Temp", 0x1), 0u);
    const mode_t folderMode = ModeOf(root() / "Temp");
    EXPECT_EQ(files.DeleteFile(u"\\Temp\\TRQSetup.log"), 0u);
    EXPECT_TRUE(files.WriteFile(u"\\Temp\\New.log", "new"));
    EXPECT_EQ(ModeOf(root() / "Temp"), folderMode);
}

TEST_F(DeviceFilesTest, NothingBeyondTheImageIsEverReached)
{
    sim::DeviceFiles files(root());
    const std::u16string escapes[] = {
        u"\\Link\\secret.txt", u"\\Link", u"\\link\\SUB\\", u"\\FileLink", u"\\SubLink",
        u"\\Windows\\Esc\\secret.txt", u"\\..\\outside\\secret.txt", u"..\\x.txt", u"\\..\\..\\x",
        u"\\Windows\\..\\..\\outside\\sub"};
    for (const std::u16string& path : escapes) {
        SCOPED_TRACE(Narrow(path));
        EXPECT_TRUE(files.Resolve(path).empty());
        EXPECT_TRUE(files.Canonical(path).empty());
        EXPECT_NE(files.SetAttributes(path, 0x1), 0u);
        EXPECT_NE(files.SetAttributes(path, 0x80), 0u);
        EXPECT_NE(files.DeleteFile(path), 0u);
        EXPECT_NE(files.RemoveDirectory(path), 0u);
        EXPECT_FALSE(files.WriteFile(path, "overwritten"));
        EXPECT_FALSE(files.WriteFile(path + u"\\new.txt", "new"));
        ExpectOutsideUntouched();
    }
    // Links are listed as what they are, never as the folders they point to.
    std::vector<std::u16string> listed = files.List();
    for (const char16_t* link : {u"\\Link", u"\\FileLink", u"\\SubLink", u"\\Windows\\Esc"})
        EXPECT_NE(std::find(listed.begin(), listed.end(), link), listed.end()) << Narrow(link);
    for (const std::u16string& path : listed)
        EXPECT_EQ(path.find(u"secret"), std::u16string::npos) << Narrow(path);
}

TEST_F(DeviceFilesTest, BuildsImagesAndListsThemSortedWithoutRegardToCase)
{
    for (sim::DeviceFiles files : {sim::DeviceFiles(base_ / "fresh"), sim::DeviceFiles::InMemory()}) {
        SCOPED_TRACE(files.OnDisk() ? "on disk" : "in memory");
        ASSERT_TRUE(files.WriteFile(u"\\zeta.txt", ""));
        ASSERT_TRUE(files.WriteFile(u"\\Windows\\TRQ.exe", "program"));
        ASSERT_TRUE(files.WriteFile(u"\\WINDOWS\\appmgr\\X.DLL", "", true));  // into the same folder
        ASSERT_TRUE(files.WriteFile(u"\\Autorun.inf", ""));
        ASSERT_TRUE(files.WriteFile(u"\\windows\\AppMgr\\x.dll", "replaced"));
        const std::vector<std::u16string> expected = {
            u"\\Autorun.inf", u"\\Windows\\", u"\\Windows\\appmgr\\", u"\\Windows\\appmgr\\X.DLL",
            u"\\Windows\\TRQ.exe", u"\\zeta.txt"};
        EXPECT_EQ(files.List(), expected);
        std::string bytes;
        EXPECT_TRUE(files.ReadHead(u"\\windows\\APPMGR\\x.dll", 100, bytes));
        EXPECT_EQ(bytes, "replaced");
        EXPECT_EQ(files.DeleteFile(u"\\Windows\\appmgr\\X.DLL"), 0u);  // written writable
        ASSERT_TRUE(files.WriteFile(u"\\Windows\\appmgr\\X.DLL", "replaced"));

        for (const char16_t* path : {u"\\", u"", u"\\Windows", u"\\Windows\\TRQ.exe\\x",
                                     u"\\Temp\\new\\", u"\\Temp\\a|b"})
            EXPECT_FALSE(files.WriteFile(path, "x")) << Narrow(path);
        EXPECT_EQ(files.List(), expected);
        EXPECT_TRUE(files.ReadHead(u"\\Windows\\TRQ.exe", 100, bytes));
        EXPECT_EQ(bytes, "program");
    }
}

}  // namespace

// A desktop Windows device names its root by its drive too; a Pocket PC
// has no drives.
TEST(DevicePath, BelowDriveDropsOnlyTheDevicesOwnDriveBeforeASeparator)
{
    const struct {
        std::u16string_view path, drive, below;
    } cases[] = {
        {u"C:\\Windows\\TRQUtil.exe", u"C:", u"\\Windows\\TRQUtil.exe"},
        {u"c:/Temp/", u"C:", u"/Temp/"},
        {u"C:\\", u"C:", u"\\"},
        {u"C:", u"C:", u"C:"},                  // the drive's current folder, not its root
        {u"C:Temp\\a.log", u"C:", u"C:Temp\\a.log"},
        {u"D:\\Windows", u"C:", u"D:\\Windows"},
        {u"C:\\Windows", u"", u"C:\\Windows"},  // a Pocket PC
        {u"\\Windows", u"C:", u"\\Windows"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Narrow(formats::BelowDrive(c.path, c.drive)), Narrow(c.below)) << Narrow(c.path);
}
