// The trace build's records, as the host writes them with the same code the
// devices run: one line of JSON per call, from the kinds of its arguments;
// and a live call taken as values is the same call written and read back.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "harness/runner/call_json.h"
#include "platform/sim/recorded_call.h"
#include "platform/trace/call_record.h"

namespace {

namespace call = device_calls::call;

TraceWord Word(const void* p) { return reinterpret_cast<TraceWord>(p); }

struct Written {
    const device_calls::Row* call;
    std::vector<TraceWord> args;
    DWORD result, error;
    std::vector<DWORD> countsBefore;  // the counts offered, where the call has since changed them
    std::string line;                 // as the trace says it is written
};

TracedCall Traced(const Written& w, std::vector<DWORD>& countsIn)
{
    countsIn.assign(w.args.size() + 1, 0);
    TakeCountsIn(*w.call, w.args.data(), countsIn.data());
    for (size_t i = 0; i < w.countsBefore.size(); ++i)
        if (w.countsBefore[i]) countsIn[i] = w.countsBefore[i];
    return TracedCall{w.call, w.args.data(), countsIn.data(), w.result, w.error};
}

std::string Line(const TracedCall& call, unsigned size = kTraceLineSize)
{
    std::string buffer(size, '\0');
    buffer.resize(WriteCallRecord(call, buffer.data(), size));
    return buffer;
}

TEST(TraceRecord, EachKindIsWrittenAsTheTraceSaysAndReadsBackAsTheCallWas)
{
    HKEY opened = reinterpret_cast<HKEY>(0x1000);
    // The value's bytes as far as the count says, within what was offered.
    const BYTE data[] = {'\\', 0, 'T', 0, 0, 0, 0xEE, 0xEE};
    DWORD type = REG_SZ, bytes = 6;
    // Characters out up to their terminator.
    char16_t temp[8] = {u'\\', u'T', u'e', u'm', u'p', u'\\', 0, u'x'};
    // A quote, a line break, a non-ASCII letter, a pair and a lone surrogate.
    const char16_t text[] = {u'"', u'\n', u'\u00e9', 0xD83D, 0xDE00, 0xDC00, 0};
    const Written cases[] = {
        {&call::RegOpenKeyExW,
         {Word(HKEY_LOCAL_MACHINE), Word(u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition"), 0, 0x20019, Word(&opened)},
         0, 0, {},
         "{\"call\":\"RegOpenKeyExW\",\"args\":{\"root\":\"0x80000002\","
         "\"subKey\":\"SOFTWARE\\\\Apps\\\\Vantrelle PocketPC Edition\",\"options\":0,\"access\":131097,"
         "\"result\":\"0x1000\"},\"ret\":0,\"error\":0}\r\n"},
        {&call::RegQueryValueExW, {0x1000, Word(u"InstallDir"), 0, Word(&type), Word(data), Word(&bytes)}, 0, 0,
         {0, 0, 0, 0, 0, 520},
         "{\"call\":\"RegQueryValueExW\",\"args\":{\"key\":\"0x1000\",\"name\":\"InstallDir\","
         "\"reserved\":null,\"type\":1,\"data\":\"5c0054000000\",\"bytes\":{\"in\":520,\"out\":6}},"
         "\"ret\":0,\"error\":0}\r\n"},
        {&call::GetTempPathW, {8, Word(temp)}, 6, 0, {},
         "{\"call\":\"GetTempPathW\",\"args\":{\"size\":8,\"buffer\":\"\\\\Temp\\\\\"},\"ret\":6,\"error\":0}\r\n"},
        // A call that returns nothing has no result.
        {&call::SetLastError, {32}, 0, 32, {}, "{\"call\":\"SetLastError\",\"args\":{\"error\":32},\"error\":32}\r\n"},
        {&call::DeleteFileW, {0}, 0, 87, {}, "{\"call\":\"DeleteFileW\",\"args\":{\"path\":null},\"ret\":0,\"error\":87}\r\n"},
        // Text escaped, and a signed result stays signed.
        {&call::MessageBoxW, {0, Word(text), Word(u"TRQ Uninstall"), 0x24}, static_cast<DWORD>(-1), 0, {},
         "{\"call\":\"MessageBoxW\",\"args\":{\"owner\":\"0x0\",\"text\":\"\\\"\\u000a\xc3\xa9"
         "\xf0\x9f\x98\x80\\udc00\",\"caption\":\"TRQ Uninstall\",\"flags\":36},\"ret\":-1,\"error\":0}\r\n"},
    };
    for (const Written& w : cases) {
        SCOPED_TRACE(w.call->name);
        std::vector<DWORD> countsIn;
        const TracedCall call = Traced(w, countsIn);
        const std::string line = Line(call);
        EXPECT_EQ(line, w.line);
        runner::JsonValue json;
        std::string error;
        ASSERT_TRUE(runner::ParseJsonLine(line.substr(0, line.size() - 2), json, error)) << error;
        sim::RecordedCall read;
        ASSERT_TRUE(runner::ReadCallRecord(json, *w.call, read, error)) << error;
        EXPECT_EQ(read, sim::CaptureCall(call)) << sim::DescribeCall(read);
    }
}

TEST(TraceRecord, WhatDoesNotFitIsCutAndTheLineStaysWholeJson)
{
    std::u16string path = u"\\" + std::u16string(300, u'a');
    const std::vector<TraceWord> args = {Word(path.c_str())};
    const TracedCall call{&call::DeleteFileW, args.data(), nullptr, 1, 0};
    for (unsigned size : {96u, 128u, 256u}) {
        const std::string line = Line(call, size);
        SCOPED_TRACE(line);
        ASSERT_LE(line.size(), size);
        ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
        const nlohmann::json record = nlohmann::json::parse(line);
        EXPECT_EQ(record["cut"], true);
        EXPECT_EQ(record["call"], "DeleteFileW");
        if (record["args"].contains("path")) {
            const std::string cut = record["args"]["path"];
            EXPECT_EQ(cut, "\\" + std::string(cut.size() - 1, 'a'));
        }
    }
    const std::string whole = Line(call);
    EXPECT_EQ(nlohmann::json::parse(whole)["args"]["path"], "\\" + std::string(300, 'a'));
    EXPECT_FALSE(nlohmann::json::parse(whole).contains("cut"));
}

}  // namespace
