// What the Wine tests share: a fixture that finds Wine and the Windows build
// (skipping without them, failing in CI) and opens the template prefix once
// per test process; and text helpers.
#ifndef TRQ_TESTS_WINE_WINE_TEST_SUPPORT_H
#define TRQ_TESTS_WINE_WINE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/wine/wine_prefix.h"

namespace trq::wine {

// The template prefix this test process shares, opened on first use; null
// with what is missing (Wine, a piece of the Windows build) in missing.
const WineTemplate* OpenSharedTemplate(std::string& missing);

class WineTest : public ::testing::Test {
public:
    // One line of timings, for the log.
    static void PrintTimings(const std::string& name, const WineRunResult& result);

protected:
    void SetUp() override;
    const WineTemplate& Template() const { return *template_; }

private:
    const WineTemplate* template_ = nullptr;
};

// UTF-16 text from the device headers as UTF-8.
std::string Utf8(const char16_t* text);

// A regedit 5.00 file as wine reg import and the device take it: UTF-16LE
// with a byte-order mark and CRLF line ends. body is UTF-8, lines end in \n.
std::string RegFileUtf16(const std::string& body);

// What the driver reports of a box with these MessageBoxW flags: its buttons
// ("yes", "no", "cancel", "ok") and its icon ("error", "question",
// "warning", "information", "none").
std::vector<std::string> ButtonsOf(std::uint32_t flags);
std::string IconOf(std::uint32_t flags);

// Fails the test unless the soft reset request, as the coredll stand-in saw
// it, passes what tests/expected/ writes down: the reset code, no buffers.
void ExpectResetAsWritten(const WineKernelIoCall& call);

// A file under the test work directory (made if missing), for inputs.
std::filesystem::path WorkFile(const std::string& name);

}  // namespace trq::wine

#endif
