// Reading and writing the device image's registry.reg (regedit 5.00 export).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats/reg_file.h"
#include "formats/text.h"
#include "platform/sim/device_image.h"

namespace formats {
namespace {

namespace fs = std::filesystem;

const TextEncoding kEncodings[] = {TextEncoding::Utf16LeBom, TextEncoding::Utf8Bom,
                                   TextEncoding::Utf8};

const char* EncodingName(TextEncoding e)
{
    switch (e) {
    case TextEncoding::Utf16LeBom: return "UTF-16LE";
    case TextEncoding::Utf8Bom: return "UTF-8 BOM";
    case TextEncoding::Utf8: return "UTF-8";
    }
    return "?";
}

// A file in UTF-16LE with its byte-order mark.
std::string ToUtf16LeBytes(std::u16string_view text)
{
    return "\xFF\xFE" + Utf16LeBytes(text);
}

// File bytes for text written with "\n" line ends.
std::string Encode(const std::string& text, TextEncoding encoding, bool crlf)
{
    std::string lines;
    for (const char c : text) {
        if (c == '\n' && crlf) lines += '\r';
        lines += c;
    }
    switch (encoding) {
    case TextEncoding::Utf16LeBom: return ToUtf16LeBytes(*Utf8ToUtf16(lines));
    case TextEncoding::Utf8Bom: return "\xEF\xBB\xBF" + lines;
    case TextEncoding::Utf8: return lines;
    }
    return lines;
}

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

// A file as FormatRegFile writes it: every kind of value, names needing
// escapes and non-ASCII text, hex data wrapped over lines.
const std::string kCanonical =
    kHeader +
    "[HKEY_CURRENT_USER\\Software]\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software\\Tr\xC3\xA1q]\n"
    "\"Wide\"=\"\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE]\n"
    "@=\"root default\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Sample App]\n"
    "@=\"default\"\n"
    "\"Path\"=\"\\\\Program Files\\\\Sample \\\"quoted\\\"\"\n"
    "\"Na\\\"me\\\\\"=dword:0000002a\n"
    "\"Empty\"=\"\"\n"
    "\"Bin\"=hex:00,01,fe,ff\n"
    "\"NoBytes\"=hex:\n"
    "\"Expand\"=hex(2):25,00,54,00,00,00\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"
    "\"None\"=hex(0):\n"
    "\"Odd\"=hex(1):41,00,42\n"
    "\"Lines\"=hex(1):61,00,0d,00,0a,00,00,00\n"
    "\"Lone\"=hex(1):00,d8,00,00\n"
    "\"Short\"=hex(4):01,02\n"
    "\"Big\"=hex(ffffffff):00\n"
    "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\n"
    "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b\n"
    "\"" + std::string(76, 'N') + "\"=hex:\\\n"
    "  00,01\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Sample App\\Sub]key]\n"
    "\n";

TEST(RegFileTest, CanonicalFilesRoundTripByteForByte)
{
    for (const TextEncoding encoding : kEncodings) {
        for (const bool crlf : {true, false}) {
            SCOPED_TRACE(std::string(EncodingName(encoding)) + (crlf ? " CRLF" : " LF"));
            const std::string bytes = Encode(kCanonical, encoding, crlf);
            RegFile file;
            RegFileError error;
            ASSERT_TRUE(ParseRegFile(bytes, "registry.reg", file, error)) << error.Message();
            EXPECT_EQ(file.encoding, encoding);
            EXPECT_EQ(file.crlf, crlf);
            EXPECT_EQ(FormatRegFile(file), bytes);
        }
    }
}

TEST(RegFileTest, ValuesAreStoredAsTypeAndRawBytes)
{
    RegFile file;
    RegFileError error;
    ASSERT_TRUE(ParseRegFile(kCanonical, "r.reg", file, error)) << error.Message();
    const RegKey* app = file.keys.Find(Root::LocalMachine, u"software\\apps\\sample app");
    ASSERT_NE(app, nullptr);

    struct Case {
        std::u16string name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {u"", 1, StringData(u"default")},
        {u"Path", 1, StringData(u"\\Program Files\\Sample \"quoted\"")},
        {u"Na\"me\\", 4, {0x2a, 0, 0, 0}},
        {u"Empty", 1, {0, 0}},
        {u"Bin", 3, {0x00, 0x01, 0xfe, 0xff}},
        {u"NoBytes", 3, {}},
        {u"Expand", 2, StringData(u"%T")},
        {u"Multi", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {u"Quad", 11, {1, 0, 0, 0, 0, 0, 0, 0}},
        {u"None", 0, {}},
        {u"Odd", 1, {'A', 0, 'B'}},
        {u"Lone", 1, {0x00, 0xd8, 0, 0}},  // a lone surrogate kept as bytes
        {u"Short", 4, {1, 2}},
        {u"Big", 0xffffffff, {0}},
        {std::u16string(76, u'N'), 3, {0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8Lossy(c.name));
        const RegValue* value = app->FindValue(c.name);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }
    ASSERT_NE(app->FindValue(u"Long"), nullptr);
    EXPECT_EQ(app->FindValue(u"Long")->data.size(), 60u);
    EXPECT_EQ(app->FindValue(u"Long")->data[59], 0x3b);
    EXPECT_EQ(file.keys.Find(Root::CurrentUser, u"Software\\Tr\u00E1q")->values[0].data,
              StringData(u"\u65E5\u672C \U0001F600"));
    EXPECT_NE(file.keys.Find(Root::LocalMachine, u"SOFTWARE\\Apps\\Sample App\\Sub]key"),
              nullptr);
}

// Other spellings regedit accepts read to the same values and come back in
// canonical form.
TEST(RegFileTest, LenientSpellingsReadAsExpected)
{
    struct Case {
        const char* line;
        uint32_t type;
        std::vector<uint8_t> data;
        const char* canonical;
    };
    const Case cases[] = {
        {"\"a\" = \"x\"", 1, StringData(u"x"), "\"a\"=\"x\""},
        {"\"a\"=DWORD:FFFFFFFE", 4, {0xfe, 0xff, 0xff, 0xff}, "\"a\"=dword:fffffffe"},
        {"\"a\"=hex(1):78,00,00,00", 1, StringData(u"x"), "\"a\"=\"x\""},
        {"\"a\"=hex(4):01,00,00,00", 4, {1, 0, 0, 0}, "\"a\"=dword:00000001"},
        {"\"a\"=hex(0002):41,00", 2, {'A', 0}, "\"a\"=hex(2):41,00"},
        {"\"a\"=HEX:AB, CD ,ef", 3, {0xab, 0xcd, 0xef}, "\"a\"=hex:ab,cd,ef"},
        {"\"a\"=hex:01,\\\n\t  02,\\   \n03", 3, {1, 2, 3}, "\"a\"=hex:01,02,03"},
        {"\"\"=\"d\"", 1, StringData(u"d"), "@=\"d\""},
        {"  \"a\"=\"x\"  ", 1, StringData(u"x"), "\"a\"=\"x\""},
        {"@ =\tdword:0000002A", 4, {0x2a, 0, 0, 0}, "@=dword:0000002a"},
        {"\"a\"=hex(12345678):", 0x12345678, {}, "\"a\"=hex(12345678):"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string text = kHeader + "[HKEY_LOCAL_MACHINE\\K]\n; note\n" + c.line + "\n";
        RegFile file;
        RegFileError error;
        ASSERT_TRUE(ParseRegFile(Encode(text, TextEncoding::Utf8, false), "r.reg", file, error))
            << error.Message();
        const RegKey* key = file.keys.Find(Root::LocalMachine, u"K");
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->values.size(), 1u);
        EXPECT_EQ(key->values[0].type, c.type);
        EXPECT_EQ(key->values[0].data, c.data);
        EXPECT_EQ(FormatRegFile(file),
                  kHeader + "[HKEY_LOCAL_MACHINE\\K]\n" + c.canonical + "\n\n");
    }
}

// Registries built in memory, including data that has no "string" form,
// survive Format then Parse in every encoding.
TEST(RegFileTest, FormatThenParseGivesTheSameRegistry)
{
    RegFile original;
    Registry& reg = original.keys;
    RegKey* key = reg.Create(Root::LocalMachine, u"Apps\\Sample");
    const std::vector<RegValue> values = {
        {u"", 1, StringData(u"")},
        {u"quote\"back\\slash", 1, StringData(u"a\"b\\c")},
        {u"lone", 1, {0x3d, 0xd8, 0x41, 0x00, 0, 0}},
        {u"odd", 1, {0x41}},
        {u"nul inside", 1, {'a', 0, 0, 0, 'b', 0, 0, 0}},
        {u"no terminator", 1, {'a', 0}},
        {u"tab\tand \u00FF", 1, StringData(u"\t \u00E9 \U0001F600")},
        {u"cr", 1, StringData(u"a\rb")},
        {u"dword", 4, {0x78, 0x56, 0x34, 0x12}},
        {u"long dword", 4, {1, 2, 3, 4, 5}},
        {u"binary", 3, std::vector<uint8_t>(300, 0xA5)},
        {u"qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"type 0x1234", 0x1234, {0xff}},
        {std::u16string(200, u'n'), 3, {1, 2, 3}},
    };
    for (const auto& v : values) key->values.push_back(v);
    reg.Create(Root::LocalMachine, u"Apps\\Sample\\Empty\\Deeper");
    reg.Create(Root::LocalMachine, u"Apps\\Zeta");
    reg.Create(Root::ClassesRoot, u".trq")->SetValue({u"", 1, StringData(u"trqfile")});
    reg.RootKey(Root::CurrentUser).SetValue({u"root", 4, {0, 0, 0, 0}});

    for (const TextEncoding encoding : kEncodings) {
        for (const bool crlf : {true, false}) {
            SCOPED_TRACE(std::string(EncodingName(encoding)) + (crlf ? " CRLF" : " LF"));
            original.encoding = encoding;
            original.crlf = crlf;
            const std::string bytes = FormatRegFile(original);
            RegFile parsed;
            RegFileError error;
            ASSERT_TRUE(ParseRegFile(bytes, "r.reg", parsed, error)) << error.Message();
            EXPECT_TRUE(parsed.keys == original.keys);
            EXPECT_EQ(parsed.encoding, encoding);
            EXPECT_EQ(parsed.crlf, crlf);
            EXPECT_EQ(FormatRegFile(parsed), bytes);
        }
    }
}

TEST(RegFileTest, SectionsMergeIgnoringCaseAndRootsStayApart)
{
    const std::string text = kHeader +
                             "[HKEY_LOCAL_MACHINE\\Software\\App]\n"
                             "\"Name\"=\"first\"\n"
                             "\"Other\"=dword:00000001\n"
                             "[hkey_current_user\\Software\\App]\n"
                             "\"Name\"=\"user\"\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\app\\Sub]\n"
                             "[HKEY_LOCAL_MACHINE\\software\\APP]\n"
                             "\"NAME\"=\"second\"\n";
    RegFile file;
    RegFileError error;
    ASSERT_TRUE(ParseRegFile(text, "r.reg", file, error)) << error.Message();
    const std::vector<std::string> keys = {
        "HKEY_CURRENT_USER\\Software",
        "HKEY_CURRENT_USER\\Software\\App",
        "HKEY_LOCAL_MACHINE\\Software",
        "HKEY_LOCAL_MACHINE\\Software\\App",
        "HKEY_LOCAL_MACHINE\\Software\\App\\Sub",
    };
    EXPECT_EQ(file.keys.KeyList(), keys);
    const RegKey* machine = file.keys.Find(Root::LocalMachine, u"Software\\App");
    ASSERT_EQ(machine->values.size(), 2u);
    EXPECT_EQ(machine->values[0].name, u"Name");
    EXPECT_EQ(machine->values[0].data, StringData(u"second"));
    EXPECT_EQ(file.keys.Find(Root::CurrentUser, u"Software\\App")->values[0].data,
              StringData(u"user"));
}

// A name given again in other case finds the first one, in a short list
// (scanned) as in a long one (indexed): the value keeps its place and first
// spelling, a section opened again adds to the key it opened before.
TEST(RegFileTest, NamesGivenAgainFindTheFirstInShortAndLongLists)
{
    for (const int count : {3, 40}) {
        SCOPED_TRACE(count);
        std::string text = kHeader + "[HKEY_LOCAL_MACHINE\\K]\n";
        for (int i = 0; i < count; ++i) {
            text += "\"Value" + std::to_string(i) + "\"=dword:00000000\n";
        }
        for (int i = 0; i < count; ++i) {
            text += "[HKEY_LOCAL_MACHINE\\K\\Sub" + std::to_string(i) + "]\n";
        }
        text += "[hkey_local_machine\\k]\n\"VALUE1\"=\"again\"\n"
                "[HKEY_LOCAL_MACHINE\\K\\SUB1]\n\"In\"=\"sub\"\n";
        RegFile file;
        RegFileError error;
        ASSERT_TRUE(ParseRegFile(text, "r.reg", file, error)) << error.Message();
        const RegKey* key = file.keys.Find(Root::LocalMachine, u"K");
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->values.size(), size_t(count));
        EXPECT_EQ(key->values[1].name, u"Value1");
        EXPECT_EQ(key->values[1].type, 1u);
        EXPECT_EQ(key->values[1].data, StringData(u"again"));
        ASSERT_EQ(key->keys.size(), size_t(count));
        EXPECT_EQ(key->keys[1]->name, u"Sub1");
        EXPECT_EQ(key->keys[1]->values.size(), 1u);
    }
}

TEST(RegFileTest, MixedLineEndsAreReadAndTheFirstOneIsKept)
{
    const std::string body = "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:01,\\\n  02\r\n\n";
    for (const bool crlf : {true, false}) {
        const std::string text =
            std::string("Windows Registry Editor Version 5.00") + (crlf ? "\r\n" : "\n") + body;
        RegFile file;
        RegFileError error;
        ASSERT_TRUE(ParseRegFile(text, "r.reg", file, error)) << error.Message();
        EXPECT_EQ(file.crlf, crlf);
        EXPECT_EQ(file.keys.Find(Root::LocalMachine, u"A")->values[0].data,
                  (std::vector<uint8_t>{1, 2}));
    }
}

struct BadFile {
    const char* what;
    std::string bytes;
    int line;
    const char* reason;  // a piece of the reason
};

// Text that is valid UTF-8: checked as UTF-8 and again as UTF-16LE.
std::vector<BadFile> BadTexts()
{
    const std::string s = kHeader + "[HKEY_LOCAL_MACHINE\\A]\n";  // values go on line 4
    std::string deep = "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 10000; ++i) deep += "\\k";
    std::string justDeepEnough = "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < kMaxKeyDepth + 1; ++i) justDeepEnough += "\\k";
    return {
        {"empty", "", 1, "empty file"},
        {"regedit 4", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n", 1, "REGEDIT4"},
        {"other header", "Windows Registry Editor Version 4.00\n", 1, "first line"},
        {"value first", kHeader + "\"a\"=\"b\"\n", 3, "before the first [section]"},
        {"other root", kHeader + "[HKEY_USERS\\A]\n", 3, "unknown root 'HKEY_USERS'"},
        {"no root", kHeader + "[]\n", 3, "unknown root"},
        {"blank before the root", kHeader + "[ HKEY_LOCAL_MACHINE\\A]\n", 3, "unknown root ' HKEY"},
        {"key deletion", kHeader + "[-HKEY_LOCAL_MACHINE\\A]\n", 3, "deleting keys"},
        {"double backslash", kHeader + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3, "empty key name"},
        {"trailing backslash", kHeader + "[HKEY_LOCAL_MACHINE\\A\\]\n", 3, "empty key name"},
        {"unterminated", kHeader + "[HKEY_LOCAL_MACHINE\\A\n", 3, "does not end with ']'"},
        {"text after ]", kHeader + "[HKEY_LOCAL_MACHINE\\A] ;x\n", 3, "does not end with ']'"},
        {"too deep", kHeader + deep + "]\n", 3, "deeper than 512 levels"},
        {"one level too deep", kHeader + justDeepEnough + "]\n", 3, "deeper than 512"},
        {"long key name", kHeader + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'x') + "]\n", 3,
         "longer than 255"},
        {"value deletion", s + "\"a\"=-\n", 4, "deleting values"},
        {"dword short", s + "\"a\"=dword:1234567\n", 4, "exactly 8 hex digits"},
        {"dword long", s + "\"a\"=dword:123456789\n", 4, "exactly 8 hex digits"},
        {"dword not hex", s + "\"a\"=dword:1234567g\n", 4, "exactly 8 hex digits"},
        {"hex bad char", s + "\"a\"=hex:0g\n", 4, "bad character 'g'"},
        {"hex 3 digits", s + "\"a\"=hex:123\n", 4, "more than two digits"},
        {"hex no comma", s + "\"a\"=hex:01 02\n", 4, "missing ','"},
        {"hex empty byte", s + "\"a\"=hex:01,,02\n", 4, "empty hex byte"},
        {"hex trailing comma", s + "\"a\"=hex:01,\\\n  02,\n", 5, "ends with ','"},
        {"hex past end", s + "\"a\"=hex:01,\\\n", 4, "past the end of the file"},
        {"hex bad on 2nd line", s + "\"a\"=hex:01,\\\n  02,zz\n", 5, "bad character 'z'"},
        {"hex type not hex", s + "\"a\"=hex(1g):00\n", 4, "bad value type"},
        {"hex type too big", s + "\"a\"=hex(123456789):00\n", 4, "bad value type"},
        {"hex type no colon", s + "\"a\"=hex(2)00\n", 4, "bad value type"},
        {"hex type empty", s + "\"a\"=hex():00\n", 4, "bad value type"},
        {"hex type unclosed", s + "\"a\"=hex(2:00\n", 4, "bad value type"},
        {"blank in dword", s + "\"a\"=dword: 0000002a\n", 4, "exactly 8 hex digits"},
        {"comment inside hex data", s + "\"a\"=hex:01,\\\n; note\n", 5, "bad character ';'"},
        {"NUL on a continuation line", s + std::string("\"a\"=hex:01,\\\n  0\0\n", 18), 5, "NUL"},
        {"unterminated string", s + "\"a\"=\"abc\n", 4, "unterminated string"},
        {"unterminated name", s + "\"abc\n", 4, "unterminated value name"},
        {"unknown escape", s + "\"a\"=\"a\\nb\"\n", 4, "unknown escape '\\n'"},
        {"unknown escape in name", s + "\"a\\tb\"=\"x\"\n", 4, "unknown escape '\\t' in value"},
        {"name ends in backslash", s + "\"a\\\n", 4, "unterminated value name"},
        {"string ends in backslash", s + "\"a\"=\"x\\\n", 4, "unterminated string"},
        {"name after @", s + "@x=\"a\"\n", 4, "expected '='"},
        {"text after string", s + "\"a\"=\"abc\" x\n", 4, "after the string"},
        {"bare data", s + "\"a\"=abc\n", 4, "unknown value data 'abc'"},
        {"no equals", s + "\"a\" \"b\"\n", 4, "expected '='"},
        {"stray line", s + "abc=1\n", 4, "unexpected line 'abc=1'"},
        {"line number after continuation",
         s + "\"ok\"=hex:01,\\\n  02\n; comment\n\n\"bad\"=dword:1\n", 8, "8 hex digits"},
        {"NUL in key name", kHeader + std::string("[HKEY_LOCAL_MACHINE\\a\0b]\n", 25), 3, "NUL"},
        {"NUL in value name", s + std::string("\"a\0b\"=\"c\"\n", 10), 4, "NUL"},
    };
}

void ExpectRefused(const BadFile& bad)
{
    SCOPED_TRACE(bad.what);
    RegFile out;
    out.keys.Create(Root::LocalMachine, u"Untouched");
    out.encoding = TextEncoding::Utf8Bom;
    RegFileError error;
    ASSERT_FALSE(ParseRegFile(bad.bytes, "device/registry.reg", out, error));
    EXPECT_EQ(error.file, "device/registry.reg");
    EXPECT_EQ(error.line, bad.line);
    EXPECT_NE(error.reason.find(bad.reason), std::string::npos) << error.reason;
    const std::string prefix =
        bad.line > 0 ? "device/registry.reg:" + std::to_string(bad.line) + ": "
                     : "device/registry.reg: ";
    EXPECT_EQ(error.Message(), prefix + error.reason);
    // Nothing partial: out is as it was.
    EXPECT_EQ(out.keys.KeyList(), std::vector<std::string>{"HKEY_LOCAL_MACHINE\\Untouched"});
    EXPECT_EQ(out.encoding, TextEncoding::Utf8Bom);
}

TEST(RegFileTest, MalformedTextIsRefusedWithLineAndReason)
{
    for (const BadFile& bad : BadTexts()) {
        ExpectRefused(bad);
        BadFile wide = bad;
        wide.bytes = Encode(bad.bytes, TextEncoding::Utf16LeBom, false);
        if (bad.bytes.empty()) wide.bytes.clear();  // a BOM alone is no longer empty
        ExpectRefused(wide);
    }
}

TEST(RegFileTest, MalformedEncodingIsRefusedWithLineAndReason)
{
    const std::u16string s16 = u"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n";
    const std::u16string lone(1, char16_t(0xDC01));
    const std::string s8 = kHeader + "[HKEY_LOCAL_MACHINE\\A]\n";
    const BadFile cases[] = {
        {"bad UTF-8", s8 + "\"a\"=\"\xC0\xAF\"\n", 4, "invalid UTF-8"},
        {"UTF-8 surrogate", s8 + "\"a\"=\"\xED\xA0\x80\"\n", 4, "invalid UTF-8"},
        {"bad UTF-8 in header", "Windows Registry\xE2\x82 Editor\n", 1, "invalid UTF-8"},
        {"odd UTF-16", ToUtf16LeBytes(s16) + "x", 0, "odd number of bytes"},
        {"UTF-16BE", "\xFE\xFF", 0, "big-endian"},
        {"UTF-16 without BOM", ToUtf16LeBytes(s16).substr(2), 0, "byte-order mark"},
        {"lone surrogate in key", ToUtf16LeBytes(s16 + u"[HKEY_LOCAL_MACHINE\\a" + lone + u"]\n"),
         4, "key name 'a\xEF\xBF\xBD' is not valid UTF-16"},
        {"lone surrogate in value name", ToUtf16LeBytes(s16 + u"\"" + lone + u"\"=\"x\"\n"), 4,
         "value name '\xEF\xBF\xBD' is not valid UTF-16"},
        {"lone surrogate in string", ToUtf16LeBytes(s16 + u"\"a\"=\"x" + lone + u"\"\n"), 4,
         "string is not valid UTF-16"},
    };
    for (const BadFile& bad : cases) ExpectRefused(bad);
}

TEST(RegFileTest, NestingUpToTheLimitIsAccepted)
{
    std::string text = kHeader + "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < kMaxKeyDepth; ++i) text += "\\k";
    text += "]\n";
    RegFile file;
    RegFileError error;
    ASSERT_TRUE(ParseRegFile(text, "r.reg", file, error)) << error.Message();
    EXPECT_EQ(file.keys.KeyList().size(), size_t(kMaxKeyDepth));
    RegFile again;
    ASSERT_TRUE(ParseRegFile(FormatRegFile(file), "r.reg", again, error)) << error.Message();
    EXPECT_TRUE(again.keys == file.keys);
}

// About 10 MB: many sibling keys, and one key with many values, so a lookup
// that scans lists would show up as a quadratic slowdown.
TEST(RegFileTest, LargeFileRoundTrips)
{
    std::string text = kHeader + "[HKEY_LOCAL_MACHINE\\Big]\n\n[HKEY_LOCAL_MACHINE\\Big\\Values]\n";
    char line[128];
    for (int i = 0; i < 60000; ++i) {
        (void)std::snprintf(line, sizeof line, "\"Value%06d\"=dword:%08x\n", i, i);
        text += line;
    }
    text += "\n";
    for (int i = 0; text.size() < 10000000; ++i) {
        (void)std::snprintf(line, sizeof line,
                            "[HKEY_LOCAL_MACHINE\\Big\\Key%06d]\n\"Path\"=\"\\\\Apps\\\\%d\"\n"
                            "\"Data\"=hex:01,02,03,04,05,06,07,08\n\n",
                            i, i);
        text += line;
    }
    for (const TextEncoding encoding : {TextEncoding::Utf8, TextEncoding::Utf16LeBom}) {
        const std::string bytes = Encode(text, encoding, true);
        RegFile file;
        RegFileError error;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(ParseRegFile(bytes, "big.reg", file, error)) << error.Message();
        const auto parsed = std::chrono::steady_clock::now();
        const std::string written = FormatRegFile(file);
        const auto formatted = std::chrono::steady_clock::now();
        using ms = std::chrono::milliseconds;
        std::printf("%s, %zu bytes: parse %lld ms, format %lld ms\n", EncodingName(encoding),
                    bytes.size(),
                    static_cast<long long>(std::chrono::duration_cast<ms>(parsed - start).count()),
                    static_cast<long long>(
                        std::chrono::duration_cast<ms>(formatted - parsed).count()));
        EXPECT_EQ(written, bytes);
        EXPECT_EQ(file.keys.Find(Root::LocalMachine, u"big\\values")->values.size(), 60000u);
    }
}

// The device image writes registry.reg back atomically, keeping the file's
// permissions, and reads back what it wrote.
TEST(RegFileIoTest, SavedAtomicallyAndLoadedBack)
{
    const fs::path dir = fs::temp_directory_path() / ("reg_file_test_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "files");
    sim::DeviceImage image;
    image.dir = dir;
    image.registry.encoding = TextEncoding::Utf8;
    image.registry.crlf = false;
    image.registry.keys.Create(Root::LocalMachine, u"Apps\\Sample")->SetValue({u"v", 4, {1, 0, 0, 0}});
    const fs::path target = dir / "registry.reg";
    { std::ofstream(target) << "old contents"; }
    ::chmod(target.c_str(), 0640);

    std::string error;
    ASSERT_TRUE(sim::SaveRegistry(image, error)) << error;
    std::vector<fs::path> entries{fs::directory_iterator(dir), fs::directory_iterator()};
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<fs::path>{dir / "files", target}));  // no temporary left behind
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    sim::DeviceImage back;
    ASSERT_TRUE(sim::LoadDeviceImage(dir, back, error)) << error;
    EXPECT_TRUE(back.registry.keys == image.registry.keys);
    EXPECT_EQ(back.registry.encoding, TextEncoding::Utf8);
    EXPECT_FALSE(back.registry.crlf);

    fs::remove(target);
    EXPECT_FALSE(sim::LoadDeviceImage(dir, back, error));
    EXPECT_EQ(error.rfind(target.string() + ": ", 0), 0u) << error;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace formats
