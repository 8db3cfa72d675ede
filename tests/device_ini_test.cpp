#include "formats/device_ini.h"

#include <gtest/gtest.h>

#include "formats/text.h"

namespace {

bool SameConfig(const formats::DeviceConfig& a, const formats::DeviceConfig& b)
{
    return a.startup == b.startup && a.programs == b.programs && a.temp == b.temp &&
           a.heldOpen == b.heldOpen && a.heldByDevice == b.heldByDevice;
}

TEST(DeviceIniTest, FormatsAndParsesBack)
{
    formats::DeviceConfig config;
    config.startup = u"\\Windows\\D\u00E9marrage";
    config.programs = u"\\Windows\\Start Menu\\Programs ;old #2";
    config.temp = u"";
    config.heldOpen = {u"\\Windows\\TRQUtil.exe", u"\\Program Files\\TRQ\\TRQ.exe",
                       u"\\Temp\\\xD83D\xDE00.log"};
    std::string text = formats::FormatDeviceIni(config);
    EXPECT_EQ(text,
              "[Folders]\n"
              "Startup=\\Windows\\D\xC3\xA9marrage\n"
              "Programs=\\Windows\\Start Menu\\Programs ;old #2\n"
              "Temp=\n"
              "[HeldOpen]\n"
              "File=\\Windows\\TRQUtil.exe\n"
              "File=\\Program Files\\TRQ\\TRQ.exe\n"
              "File=\\Temp\\\xF0\x9F\x98\x80.log\n");
    formats::DeviceConfig parsed;
    std::string error;
    ASSERT_TRUE(formats::ParseDeviceIni(text, parsed, error)) << error;
    EXPECT_TRUE(SameConfig(parsed, config));

    // Defaults: no [HeldOpen] at all.
    EXPECT_EQ(formats::FormatDeviceIni(formats::DeviceConfig{}),
              "[Folders]\n"
              "Startup=\\Windows\\StartUp\n"
              "Programs=\\Windows\\Start Menu\\Programs\n"
              "Temp=\\Temp\\\n");
}

TEST(DeviceIniTest, ReadsWhatPeopleWrite)
{
    const std::string text =
        "\xEF\xBB\xBF; device image of the test handheld\r\n"
        "# folders first\r\n"
        "[folders]\r\n"
        "  TEMP = \\Temp2\\  \r\n"
        "\r\n"
        "[ HELDOPEN ]\r\n"
        "file=\\Windows\\a ;b.exe\r\n"
        "\tFile=\\Windows\\#c.exe\r\n"
        "File=\\Windows\\" + std::string(1500, 'x') + "\r\n"
        "[Folders]\r\n"
        "Startup=";  // last line without a line end, empty value
    formats::DeviceConfig config;
    std::string error;
    ASSERT_TRUE(formats::ParseDeviceIni(text, config, error)) << error;
    EXPECT_EQ(config.temp, u"\\Temp2\\");
    EXPECT_EQ(config.startup, u"");
    EXPECT_EQ(config.programs, formats::DeviceConfig{}.programs);
    ASSERT_EQ(config.heldOpen.size(), 3u);
    EXPECT_EQ(config.heldOpen[0], u"\\Windows\\a ;b.exe");
    EXPECT_EQ(config.heldOpen[1], u"\\Windows\\#c.exe");
    EXPECT_EQ(config.heldOpen[2], u"\\Windows\\" + std::u16string(1500, u'x'));
}

TEST(DeviceIniTest, RefusesBadLinesNamingTheFirst)
{
    struct Case {
        std::string text;
        int line;
        const char* reason;  // part of the message
    };
    const Case cases[] = {
        {"[Folders]\nStartup=\\a\n[Bogus]\n", 3, "unknown section"},
        {"[Folders]\nColor=red\n", 2, "unknown key"},
        {"Temp=\\x\n", 1, "outside"},
        {"[Folders]\n\nnoequals\n", 3, "expected key=value"},
        {"[Folders]\nTemp:\\x\n", 2, "expected key=value"},
        {"[Folders]\nTemp=\\a\n  \\continued\n", 3, "expected key=value"},
        {"[Folders\nTemp=\\a\n", 1, "']'"},
        {"[Folders] x\n", 1, "']'"},
        {"[Fol]ders]\n", 1, "malformed"},
        {"[HeldOpen]\nFile=\xFF\xFE\n", 2, "UTF-8"},
        {"[HeldOpen]\nFile=\n", 2, "File="},
        {"[Folders]\nTemp=a\ntemp=b\n", 3, "twice"},
        {"\xEF\xBB\xBF[Folders]\nBad\n", 2, "expected key=value"},
        {"[Folders]\r\nTemp=\\x\r\nX=1\r\n", 3, "unknown key"},
        {std::string("[Folders]\nTemp=a\0b\n", 19), 2, "NUL"},
        {"[Folders]\nTemp=a\rb\n", 2, "control"},
        {"[HeldOpen]\nFile=\\" + std::string(3000, 'x') + "\n", 2, "longer"},
        {"[HeldOpen]\nFile=\\" + std::string(1500, 'x') + "\nBad\n", 3, "expected key=value"},
        // The earlier fault is reported, whichever check finds it.
        {"[Folders]\nColor=1\n[Bogus]\n", 2, "unknown key"},
        {"[Bogus]\n[Folders]\nColor=1\n", 1, "unknown section"},
        {"[Folders]\nColor=1\nTemp=a\ntemp=b\n", 2, "'Color'"},
        {"[Device]\nRegistry=Flash\n", 2, "Hive or RAM"},
        {"[Device]\nRegistry=RAM\nregistry=hive\n", 3, "twice"},
        {"[Device]\nFileSystem=NTFS\n", 2, "FAT, ObjectStore or Desktop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        formats::DeviceConfig config;
        config.temp = u"\\Untouched\\";
        std::string error;
        EXPECT_FALSE(formats::ParseDeviceIni(c.text, config, error));
        const std::string prefix = "device.ini:" + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(config.temp, u"\\Untouched\\");
    }
}

TEST(DeviceIniTest, HeldOpenMatchesAsTheFileSystemDoes)
{
    formats::DeviceConfig config;
    config.heldOpen = {u"\\Windows\\TRQUtil.exe", u"Temp//TRQ.log"};
    struct Case {
        std::u16string path;
        bool held;
    };
    const Case cases[] = {
        {u"\\Windows\\TRQUtil.exe", true},
        {u"\\windows\\trqutil.EXE", true},
        {u"/Windows/TRQUtil.exe", true},
        {u"\\Temp\\TRQ.log", true},
        {u"\\Windows\\TRQUtil.exe.bak", false},
        {u"\\Windows", false},
        {u"\\Windows\\..\\Windows\\TRQUtil.exe", false},
        {u"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(config.IsHeldOpen(c.path), c.held) << formats::Utf16ToUtf8Lossy(c.path);
}

TEST(DeviceIniTest, HeldByDeviceKeepsEachRuleAndOrder)
{
    using R = formats::HoldRule;
    formats::DeviceConfig config;
    config.heldOpen = {u"\\Program Files\\TRQ\\TRQ.exe"};
    config.heldByDevice = {{R::Sync, u"\\Program Files\\TRQ\\DevTRQSync.dll"},
                           {R::Startup, u"\\Windows\\TRQUtil.exe"},
                           {R::Service, u"\\Windows\\TRQRemindSvc.dll"},
                           {R::Service, u"\\Windows\\AtlasGps.dll"},
                           {R::NewMenu, u"\\Windows\\TRQNewMenu.dll"},
                           {R::Startup, u"\\Windows\\TRQRemindSvc.dll"}};
    const std::string text = formats::FormatDeviceIni(config);
    EXPECT_EQ(text,
              "[Folders]\n"
              "Startup=\\Windows\\StartUp\n"
              "Programs=\\Windows\\Start Menu\\Programs\n"
              "Temp=\\Temp\\\n"
              "[HeldOpen]\n"
              "File=\\Program Files\\TRQ\\TRQ.exe\n"
              "[HeldByDevice]\n"
              "Sync=\\Program Files\\TRQ\\DevTRQSync.dll\n"
              "Startup=\\Windows\\TRQUtil.exe\n"
              "Service=\\Windows\\TRQRemindSvc.dll\n"
              "Service=\\Windows\\AtlasGps.dll\n"
              "NewMenu=\\Windows\\TRQNewMenu.dll\n"
              "Startup=\\Windows\\TRQRemindSvc.dll\n");
    formats::DeviceConfig parsed;
    std::string error;
    ASSERT_TRUE(formats::ParseDeviceIni(text, parsed, error)) << error;
    EXPECT_TRUE(SameConfig(parsed, config));

    // Sections in any order, keys in any case; a [HeldOpen] added after the
    // device wrote its own list still counts.
    ASSERT_TRUE(formats::ParseDeviceIni("[heldbydevice]\nSERVICE=\\Windows\\a.dll\n"
                                    "[HeldOpen]\nFile=\\Windows\\b.exe\n",
                                    parsed, error))
        << error;
    ASSERT_EQ(parsed.heldByDevice.size(), 1u);
    EXPECT_EQ(parsed.heldByDevice[0], (formats::DeviceHold{R::Service, u"\\Windows\\a.dll"}));
    EXPECT_EQ(parsed.heldOpen, std::vector<std::u16string>{u"\\Windows\\b.exe"});

    struct Bad {
        std::string text;
        const char* reason;
    };
    for (const Bad& bad : {Bad{"[HeldByDevice]\nFile=\\a\n", "unknown key 'File' in [HeldByDevice]"},
                           Bad{"[HeldByDevice]\nSync=\n", "Sync= without a path"},
                           Bad{"[HeldOpen]\nService=\\a\n", "unknown key 'Service' in [HeldOpen]"}}) {
        EXPECT_FALSE(formats::ParseDeviceIni(bad.text, parsed, error)) << bad.text;
        EXPECT_EQ(error, std::string("device.ini:2: ") + bad.reason);
    }
}

TEST(DeviceIniTest, EitherListHoldsAFileOpen)
{
    using R = formats::HoldRule;
    formats::DeviceConfig config;
    config.heldOpen = {u"\\Program Files\\TRQ\\TRQ.exe", u"\\Windows\\TRQUtil.exe"};
    config.heldByDevice = {{R::Startup, u"\\Windows\\TRQUtil.exe"},
                           {R::Service, u"\\Windows\\TRQRemindSvc.dll"},
                           {R::NewMenu, u"/windows//trqremindsvc.DLL"}};
    struct Case {
        std::u16string path;
        bool user;
        std::vector<R> device;
    };
    const Case cases[] = {
        {u"\\program files\\trq\\TRQ.EXE", true, {}},
        {u"\\Windows\\TRQUtil.exe", true, {R::Startup}},
        {u"Windows/TRQRemindSvc.dll", false, {R::Service, R::NewMenu}},
        {u"\\Windows\\TRQNewMenu.dll", false, {}},
        {u"\\Windows\\..\\Windows\\TRQRemindSvc.dll", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(formats::Utf16ToUtf8Lossy(c.path));
        EXPECT_EQ(config.IsHeldByUser(c.path), c.user);
        EXPECT_EQ(config.DeviceRulesHolding(c.path), c.device);
        EXPECT_EQ(config.IsHeldOpen(c.path), c.user || !c.device.empty());
    }
}

// What would not read back the same is not written at all.
TEST(DeviceIniTest, WritesOnlyWhatReadsBackTheSame)
{
    formats::DeviceConfig config;
    config.temp = u"\\My Temp\\";
    config.heldOpen = {u"\\Windows\\TRQUtil.exe"};
    config.heldByDevice = {{formats::HoldRule::NewMenu, u"\\Windows\\TRQNewMenu.dll"}};
    std::string text, error;
    ASSERT_TRUE(formats::FormatDeviceIniChecked(config, text, error)) << error;
    for (const char16_t* bad : {u"\\a\nFile=\\b", u" \\lead", u"\\\xD800", u""}) {
        SCOPED_TRACE(formats::Utf16ToUtf8Lossy(bad));
        formats::DeviceConfig wrong = config;
        wrong.heldOpen.push_back(bad);
        EXPECT_FALSE(formats::FormatDeviceIniChecked(wrong, text, error));
        wrong = config;
        wrong.heldByDevice.push_back({formats::HoldRule::Service, bad});
        EXPECT_FALSE(formats::FormatDeviceIniChecked(wrong, text, error));
        EXPECT_EQ(error, "device.ini: these settings cannot be written as they are");
    }
}

}  // namespace
