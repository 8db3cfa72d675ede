// The simulated registry in memory, and the text helpers its name matching
// rests on.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "formats/registry.h"
#include "formats/text.h"

namespace formats {
namespace {

// --- UTF-8 / UTF-16 ---------------------------------------------------------

TEST(TextTest, Utf8ToUtf16AcceptsWellFormedAndRejectsTheRest)
{
    const std::pair<std::string, std::u16string> valid[] = {
        {"", u""}, {"Apps\\X", u"Apps\\X"}, {"\xC3\xA9", u"\u00E9"}, {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"}, {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const auto& [utf8, utf16] : valid) {
        EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
        EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    }
    const char* const invalid[] = {
        "\x80",              // stray continuation
        "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlong
        "\xED\xA0\x80",      // an encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF5\x80\x80\x80", "a\xFF", "\xE2\x82", "\xC3\x41",
    };
    for (const char* bytes : invalid) EXPECT_FALSE(Utf8ToUtf16(bytes).has_value()) << bytes;
}

TEST(TextTest, LoneSurrogatesFailStrictAndBecomeReplacementWhenLossy)
{
    const std::pair<std::u16string, std::string> cases[] = {
        {std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},
        {u"a" + std::u16string(1, char16_t(0xDC00)) + u"b", "a\xEF\xBF\xBD" "b"},
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& [in, lossy] : cases) {
        EXPECT_FALSE(Utf16ToUtf8(in).has_value());
        EXPECT_FALSE(IsValidUtf16(in));
        EXPECT_EQ(Utf16ToUtf8Lossy(in), lossy);
    }
}

TEST(TextTest, FoldCaseCoversAsciiAndLatin1LettersOnly)
{
    const std::pair<char16_t, char16_t> cases[] = {
        {u'A', u'a'}, {u'Z', u'z'}, {u'@', u'@'}, {u'[', u'['}, {u'\u00C0', u'\u00E0'},
        {u'\u00DE', u'\u00FE'}, {u'\u00D7', u'\u00D7'}, {u'\u00DF', u'\u00DF'},
        {u'\u03A9', u'\u03A9'},  // beyond Latin-1: as is
    };
    for (const auto& [in, folded] : cases) EXPECT_EQ(FoldCase(in), folded) << int(in);
    EXPECT_TRUE(EqualsIgnoreCase(u"\u00C9CLAIR\\x", u"\u00E9clair\\X"));
    EXPECT_FALSE(EqualsIgnoreCase(u"\u03A9", u"\u03C9"));
    EXPECT_FALSE(EqualsIgnoreCase(u"Apps", u"App"));
}

// --- Registry ---------------------------------------------------------------

TEST(RegistryTest, FindIgnoresCaseAndKeepsTheCaseKeysWereMadeWith)
{
    Registry reg;
    ASSERT_NE(reg.Create(Root::LocalMachine, u"SOFTWARE\\Apps\\Sample App"), nullptr);
    ASSERT_NE(reg.Create(Root::LocalMachine, u"SOFTWARE\\\u00C9clair"), nullptr);

    struct Case {
        std::u16string path;
        const char16_t* storedName;  // nullptr: not found
    };
    const Case cases[] = {
        {u"SOFTWARE\\Apps\\Sample App", u"Sample App"},
        {u"software\\APPS\\sample app", u"Sample App"},
        {u"Software\\apps", u"Apps"},
        {u"software\\\u00E9CLAIR", u"\u00C9clair"},
        {u"", u""},  // the root itself
        {u"SOFTWARE\\Apps\\Sample", nullptr},
        {u"SOFTWARE\\\\Apps", nullptr},
        {u"\\SOFTWARE", nullptr},
        {u"SOFTWARE\\", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8Lossy(c.path));
        const RegKey* key = reg.Find(Root::LocalMachine, c.path);
        if (!c.storedName) {
            EXPECT_EQ(key, nullptr);
        } else {
            ASSERT_NE(key, nullptr);
            EXPECT_EQ(key->name, c.storedName);
        }
    }

    // Creating again in another case finds the same key and adds nothing.
    RegKey* again = reg.Create(Root::LocalMachine, u"software\\apps\\SAMPLE APP");
    EXPECT_EQ(again, reg.Find(Root::LocalMachine, u"SOFTWARE\\Apps\\Sample App"));
    EXPECT_EQ(reg.RootKey(Root::LocalMachine).keys.size(), 1u);
    EXPECT_EQ(reg.Create(Root::LocalMachine, u"a\\\\b"), nullptr);
    EXPECT_EQ(reg.Find(Root::LocalMachine, u"a"), nullptr);  // nothing half made
}

TEST(RegistryTest, RootsAreKeptApart)
{
    Registry reg;
    reg.Create(Root::CurrentUser, u"Software\\Sample");
    EXPECT_NE(reg.Find(Root::CurrentUser, u"Software\\Sample"), nullptr);
    EXPECT_EQ(reg.Find(Root::LocalMachine, u"Software\\Sample"), nullptr);
    EXPECT_EQ(reg.Find(Root::ClassesRoot, u"Software"), nullptr);
    EXPECT_FALSE(reg.Delete(Root::LocalMachine, u"Software"));
    EXPECT_TRUE(reg.Delete(Root::CurrentUser, u"Software"));
}

TEST(RegistryTest, DeleteTakesTheWholeSubTreeAndKeyListShowsWhatIsLeft)
{
    Registry reg;
    for (const char16_t* path : {u"Apps\\Sample\\Settings\\Deep", u"Apps\\Sample\\Cache",
                                 u"Apps\\Other", u"Apps\\B\u00E4r", u"Init"}) {
        reg.Create(Root::LocalMachine, path);
    }
    reg.Create(Root::ClassesRoot, u".trq");
    reg.RootKey(Root::CurrentUser).SetValue({u"", 1, {0, 0}});

    const std::pair<const char16_t*, bool> cases[] = {
        {u"", false},  // a root cannot go
        {u"Apps\\Missing", false},
        {u"Apps\\Missing\\Sample", false},
        {u"APPS\\sample", true},  // case-insensitive, with everything below
        {u"Apps\\Sample", false},  // already gone
        {u"Apps\\", false},
    };
    for (const auto& [path, deleted] : cases) {
        EXPECT_EQ(reg.Delete(Root::LocalMachine, path), deleted) << Utf16ToUtf8Lossy(path);
    }
    const std::vector<std::string> expected = {
        "HKEY_CLASSES_ROOT\\.trq",
        "HKEY_CURRENT_USER",  // a root is listed when it holds values
        "HKEY_LOCAL_MACHINE\\Apps",
        "HKEY_LOCAL_MACHINE\\Apps\\Other",
        "HKEY_LOCAL_MACHINE\\Apps\\B\xC3\xA4r",
        "HKEY_LOCAL_MACHINE\\Init",
    };
    EXPECT_EQ(reg.KeyList(), expected);
}

TEST(RegistryTest, SetValueReplacesByNameInPlaceKeepingTheNamesCase)
{
    RegKey key;
    key.SetValue({u"Path", 1, {'a', 0, 0, 0}});
    key.SetValue({u"", 4, {1, 0, 0, 0}});
    key.SetValue({u"PATH", 3, {9}});
    ASSERT_EQ(key.values.size(), 2u);
    EXPECT_EQ(key.values[0].name, u"Path");
    EXPECT_EQ(key.values[0].type, 3u);
    EXPECT_EQ(key.values[0].data, std::vector<uint8_t>{9});
    ASSERT_NE(key.FindValue(u"pATh"), nullptr);
    EXPECT_EQ(key.FindValue(u"")->type, 4u);
    EXPECT_EQ(key.FindValue(u"Missing"), nullptr);
}

// Builds the same small tree twice, then changes one thing in the second.
TEST(RegistryTest, EqualityComparesNamesExactlyValuesAndOrder)
{
    auto build = [](Registry& reg) {
        RegKey* sample = reg.Create(Root::LocalMachine, u"Apps\\Sample");
        sample->SetValue({u"Path", 1, {'a', 0, 0, 0}});
        sample->SetValue({u"Count", 4, {1, 0, 0, 0}});
        reg.Create(Root::LocalMachine, u"Apps\\Other");
        reg.Create(Root::CurrentUser, u"Apps");
    };
    auto sample = [](Registry& r) { return r.Find(Root::LocalMachine, u"Apps\\Sample"); };
    const std::vector<std::tuple<const char*, std::function<void(Registry&)>, bool>> cases = {
        {"unchanged", [](Registry&) {}, true},
        {"same value set again",
         [&](Registry& r) { sample(r)->SetValue({u"path", 1, {'a', 0, 0, 0}}); }, true},
        {"key name case", [&](Registry& r) { sample(r)->name = u"sample"; }, false},
        {"value name case", [&](Registry& r) { sample(r)->values[0].name = u"PATH"; }, false},
        {"value data", [&](Registry& r) { sample(r)->values[1].data[0] = 2; }, false},
        {"value type", [&](Registry& r) { sample(r)->values[1].type = 3; }, false},
        {"extra key", [&](Registry& r) { sample(r)->AddKey(u"Sub"); }, false},
        {"key in another root",
         [](Registry& r) { r.RootKey(Root::CurrentUser).keys[0]->name = u"Other"; }, false},
        {"keys reordered", [&](Registry& r) {
             auto& keys = r.Find(Root::LocalMachine, u"Apps")->keys;
             std::swap(keys[0], keys[1]);
         }, false},
        {"values reordered",
         [&](Registry& r) { std::swap(sample(r)->values[0], sample(r)->values[1]); }, false},
    };
    for (const auto& [what, change, equal] : cases) {
        SCOPED_TRACE(what);
        Registry a, b;
        build(a);
        build(b);
        change(b);
        EXPECT_EQ(a == b, equal);
        EXPECT_EQ(b == a, equal);
    }
}

// A tree far deeper than any stack frame budget: creating, walking, comparing
// and destroying it must all work without recursion.
TEST(RegistryTest, VeryDeepTreesNeedNoRecursion)
{
    constexpr int kDepth = 100000;
    std::u16string path;
    for (int i = 0; i < kDepth; ++i) path += i == 0 ? u"k" : u"\\k";
    Registry a, b;
    ASSERT_NE(a.Create(Root::LocalMachine, path), nullptr);
    ASSERT_NE(b.Create(Root::LocalMachine, path), nullptr);
    EXPECT_NE(a.Find(Root::LocalMachine, path), nullptr);
    EXPECT_TRUE(a == b);
    b.Find(Root::LocalMachine, path)->name = u"K";
    EXPECT_FALSE(a == b);

    size_t count = 0, longest = 0;
    ForEachKey(a.RootKey(Root::LocalMachine), [&](std::u16string_view p, const RegKey&) {
        ++count;
        longest = std::max(longest, p.size());
    });
    EXPECT_EQ(count, size_t(kDepth));
    EXPECT_EQ(longest, path.size());

    EXPECT_TRUE(a.Delete(Root::LocalMachine, u"k\\k"));
    EXPECT_EQ(a.KeyList(), std::vector<std::string>{"HKEY_LOCAL_MACHINE\\k"});
    // b goes out of scope with its full depth.
}

}  // namespace
}  // namespace formats
