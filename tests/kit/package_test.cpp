// The package's one description (package/) against what the uninstaller
// removes, as tests/expected/ writes its plans down: a fresh install is
// exactly what the file plan deletes, every key the registry plan deletes
// is one the install makes; and the placeholders' bytes, the install
// directory put in.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "formats/text.h"
#include "package/package.h"
#include "tests/expected/expected_words.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

const char16_t kInstallDir[] = u"\\Program Files\\TRQ";

// A path as the device compares it: separators folded, letters in lower case.
std::string Folded(const std::u16string& path)
{
    std::string folded;
    for (char16_t c : path) {
        if (c == u'\\' && !folded.empty() && folded.back() == '\\') continue;
        folded += static_cast<char>(c < 0x80 ? std::tolower(static_cast<int>(c)) : '?');
    }
    return folded;
}

std::u16string SampleBase(PackageBase base)
{
    switch (base) {
    case kPackageInstallDir: return kInstallDir;
    case kPackageWindows: return u"\\Windows";
    case kPackageStartup: return u"\\Windows\\StartUp";
    case kPackagePrograms: return u"\\Windows\\Start Menu\\Programs";
    case kPackageTemp: return u"\\Temp\\";
    }
    return u"?";
}

std::u16string PlanBase(expected::Base base)
{
    switch (base) {
    case expected::Base::Fixed: return u"";
    case expected::Base::InstallDir: return kInstallDir;
    case expected::Base::Startup: return u"\\Windows\\StartUp";
    case expected::Base::Programs: return u"\\Windows\\Start Menu\\Programs";
    case expected::Base::Temp: return u"\\Temp\\";
    }
    return u"?";
}

std::string RootName(HKEY root)
{
    return root == HKEY_CLASSES_ROOT ? "HKCR" : root == HKEY_CURRENT_USER ? "HKCU" : "HKLM";
}

std::string RootName(expected::Root root)
{
    return root == expected::Root::ClassesRoot ? "HKCR" : root == expected::Root::CurrentUser ? "HKCU" : "HKLM";
}

TEST(PackageDescription, LaysOutExactlyTheFilesThePlanDeletes)
{
    std::set<std::string> described, planned;
    for (int i = 0; i < kPackageFileCount; ++i) {
        WCHAR path[MAX_PATH];
        ASSERT_TRUE(JoinPackagePath(path, SampleBase(kPackageFiles[i].base).c_str(), kPackageFiles[i].name));
        described.insert(Folded(path));
    }
    for (const expected::FileWords& row : expected::kFileRows)
        if (row.kind != expected::Kind::Directory) planned.insert(Folded(PlanBase(row.base) + row.suffix));
    EXPECT_EQ(described, planned);
}

TEST(PackageDescription, MakesEveryKeyThePlanDeletes)
{
    std::set<std::string> made;
    for (int i = -1; i < kPackageKeyCount; ++i) {
        const PackageKey& key = i < 0 ? kPackageInstallRecord : kPackageKeys[i];
        // A key and each key above it, which making it makes too.
        std::u16string path = key.path;
        for (size_t end = path.size(); end != std::u16string::npos; end = path.rfind(u'\\', end - 1)) {
            made.insert(RootName(key.root) + "\\" + Folded(path.substr(0, end)));
            if (end == 0) break;
        }
    }
    for (const expected::KeyWords& row : expected::kKeyRows)
        EXPECT_TRUE(made.count(RootName(row.root) + "\\" + Folded(row.path))) << Folded(row.path);
}

struct PlaceholderCase {
    const char* name;
    const char16_t* file;  // in the install directory, Programs or Startup
    const char16_t* installDir;
    std::string bytes;
};

void PrintTo(const PlaceholderCase& c, std::ostream* out) { *out << c.name; }

const PlaceholderCase kPlaceholders[] = {
    {"StartupShortcut", u"TRQUtil.lnk", u"\\Program Files\\TRQ", "22#\"\\Windows\\TRQUtil.exe\"\r\n"},
    {"ProgramsShortcut", u"TRQ.lnk", u"\\Program Files\\TRQ", "28#\"\\Program Files\\TRQ\\TRQ.exe\"\r\n"},
    {"ShortcutToALocalisedFolder", u"TRQ Jotlet.lnk", u"\\Programme\\TRQ",
     "30#\"\\Programme\\TRQ\\TRQJotlet.exe\"\r\n"},
    {"ShortcutOfOverAHundredBytes", u"TRQ.lnk",
     u"\\Program Files\\A folder whose name is long enough that the count of the shortcut has three digits",
     "107#\"\\Program Files\\A folder whose name is long enough that the count of the shortcut has three digits\\TRQ.exe\"\r\n"},
    {"NonAsciiInstallDirAsUtf8", u"TRQ.lnk", u"\\Programmes\\TRQ \u00e9\U0001F600",
     "32#\"\\Programmes\\TRQ \xC3\xA9\xF0\x9F\x98\x80\\TRQ.exe\"\r\n"},
    {"Text", u"Services.loc", u"\\Program Files\\TRQ", "TRQRem=\\Windows\\TRQRemindSvc.dll\r\n"},
};

class Placeholder : public testing::TestWithParam<PlaceholderCase> {};

TEST_P(Placeholder, Bytes)
{
    const PlaceholderCase& c = GetParam();
    const PackageFile* file = nullptr;
    for (int i = 0; i < kPackageFileCount; ++i)
        if (std::u16string(kPackageFiles[i].name) == c.file) file = &kPackageFiles[i];
    ASSERT_NE(file, nullptr);
    char bytes[1024];
    const int count = PackageFileBytes(*file, c.installDir, bytes, sizeof bytes);
    ASSERT_GE(count, 0);
    EXPECT_EQ(std::string(bytes, count), c.bytes);
    // A buffer one byte short holds none of it.
    EXPECT_EQ(PackageFileBytes(*file, c.installDir, bytes, count - 1), -1);
}

INSTANTIATE_TEST_SUITE_P(Package, Placeholder, testing::ValuesIn(kPlaceholders), NameFromParam());

TEST(PackageDescription, InstallRecordNamesTheInstallDirectory)
{
    WCHAR text[MAX_PATH];
    std::set<std::u16string> values;
    for (int i = 0; i < kPackageInstallRecord.valueCount; ++i) {
        const PackageValue& v = kPackageInstallRecord.values[i];
        if (v.type != REG_SZ) continue;
        ASSERT_GE(ExpandPackageText(v.text, u"\\Programme\\TRQ", text, MAX_PATH), 0);
        if (std::u16string(v.name) == u"InstallDir" || std::u16string(v.name) == u"InstDir")
            values.insert(text);
    }
    EXPECT_EQ(values, (std::set<std::u16string>{u"\\Programme\\TRQ"}));
}

}  // namespace
}  // namespace trq_test
