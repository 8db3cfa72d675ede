#include "tests/wine/wine_test_support.h"

#include <iostream>
#include <memory>

#include "device/device.h"
#include "formats/text.h"
#include "tests/expected/expected_words.h"
#include "tests/test_device.h"

namespace trq::wine {

namespace {

const WineTemplate* SharedTemplate(const WineTools& tools, const WineBuild& build)
{
    static std::unique_ptr<WineTemplate> shared;
    if (!shared) {
        shared = std::make_unique<WineTemplate>(WineTemplate::Open(tools, build, TRQ_WINE_WORK_DIR));
        if (shared->MadeNow())
            std::cout << "[ wine     ] made the template prefix in " << shared->MakeMs() / 1000
                      << " s\n";
    }
    return shared.get();
}

}  // namespace

const WineTemplate* OpenSharedTemplate(std::string& missing)
{
    WineTools tools;
    if (!FindWineTools(tools)) {
        missing = "wine or wineserver is not on PATH";
        return nullptr;
    }
    WineBuild build{TRQ_WINE_UNINSTALLER, TRQ_WINE_DRIVER_DIR};
    std::string pieces = MissingBuildPieces(build);
    if (!pieces.empty()) {
        missing = "the Windows build is missing " + pieces;
        return nullptr;
    }
    return SharedTemplate(tools, build);
}

void WineTest::SetUp()
{
    std::string missing;
    template_ = OpenSharedTemplate(missing);
    if (!template_) {
        if (trq_test::RunningInCi()) FAIL() << missing;
        GTEST_SKIP() << missing;
    }
}

void WineTest::PrintTimings(const std::string& name, const WineRunResult& result)
{
    const WineTimings& t = result.timings;
    std::cout << "[ wine     ] " << name << ": clone " << t.cloneMs << " ms, seed " << t.seedMs
              << " ms, run " << t.runMs << " ms (uninstaller " << t.driverMs << " ms), stop "
              << t.stopMs << " ms\n";
}

std::string Utf8(const char16_t* text)
{
    std::string out;
    for (; *text; ++text) {
        char32_t c = *text;
        if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (*++text - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string RegFileUtf16(const std::string& body)
{
    std::string crlf;
    for (char c : body) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    return "\xFF\xFE" + formats::Utf16LeBytes(formats::Utf8ToUtf16(crlf).value());
}

std::filesystem::path WorkFile(const std::string& name)
{
    std::filesystem::path dir = std::filesystem::path(TRQ_WINE_WORK_DIR) / "inputs";
    std::filesystem::create_directories(dir);
    return dir / name;
}

std::vector<std::string> ButtonsOf(std::uint32_t flags)
{
    switch (flags & MB_TYPEMASK) {
    case MB_OK: return {"ok"};
    case MB_YESNO: return {"yes", "no"};
    case MB_YESNOCANCEL: return {"yes", "no", "cancel"};
    default: return {"?"};
    }
}

std::string IconOf(std::uint32_t flags)
{
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "warning";
    case MB_ICONINFORMATION: return "information";
    default: return "none";
    }
}

void ExpectResetAsWritten(const WineKernelIoCall& call)
{
    const expected::ResetWords& want = expected::kReset;
    EXPECT_EQ(call.code, want.code);
    EXPECT_EQ(call.in == 0, want.inNull);
    EXPECT_EQ(call.inSize, want.inSize);
    EXPECT_EQ(call.out == 0, want.outNull);
    EXPECT_EQ(call.outSize, want.outSize);
    EXPECT_EQ(call.returned == 0, want.returnedNull);
}

}  // namespace trq::wine
