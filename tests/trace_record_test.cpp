// The trace build's records, as the host writes them with the same code the
// devices run: one line of JSON per call, from the kinds of its arguments.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "platform/trace/call_record.h"
#include "platform/trace/call_shapes.h"

namespace {

std::string Record(const CallShape& shape, std::vector<TraceWord> args, TraceResult result, DWORD error,
                   unsigned size = kTraceLineSize, const std::vector<DWORD>& countsBefore = {})
{
    std::vector<DWORD> countsIn(shape.count);
    TakeCountsIn(shape.kinds, shape.count, args.data(), countsIn.data());
    for (size_t i = 0; i < countsBefore.size(); ++i)
        if (countsBefore[i]) countsIn[i] = countsBefore[i];
    TracedCall call{7, shape.name, shape.parameterNames, shape.kinds, shape.count, args.data(), countsIn.data(),
                    result, error};
    std::string buffer(size, '\0');
    buffer.resize(WriteCallRecord(call, buffer.data(), size));
    return buffer;
}

TraceWord Word(const void* p) { return reinterpret_cast<TraceWord>(p); }

TEST(TraceRecord, EachKindIsWrittenAsTheTraceSays)
{
    HKEY opened = reinterpret_cast<HKEY>(0x1000);
    EXPECT_EQ(Record(call_shapes::RegOpenKeyExW,
                     {Word(HKEY_LOCAL_MACHINE), Word(u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition"), 0, 0x20019,
                      Word(&opened)},
                     ResultOf(LONG{0}), 0),
              "{\"n\":7,\"call\":\"RegOpenKeyExW\",\"args\":{\"root\":\"0x80000002\","
              "\"subKey\":\"SOFTWARE\\\\Apps\\\\Vantrelle PocketPC Edition\",\"options\":0,\"access\":131097,"
              "\"result\":\"0x1000\"},\"ret\":0,\"error\":0}\r\n");

    // The value's bytes as far as the count says, within what was offered.
    const BYTE data[] = {'\\', 0, 'T', 0, 0, 0, 0xEE, 0xEE};
    DWORD type = REG_SZ, bytes = 6;
    EXPECT_EQ(Record(call_shapes::RegQueryValueExW,
                     {0x1000, Word(u"InstallDir"), 0, Word(&type), Word(data), Word(&bytes)}, ResultOf(LONG{0}), 0,
                     kTraceLineSize, {0, 0, 0, 0, 0, 520}),
              "{\"n\":7,\"call\":\"RegQueryValueExW\",\"args\":{\"key\":\"0x1000\",\"name\":\"InstallDir\","
              "\"reserved\":null,\"type\":1,\"data\":\"5c0054000000\",\"bytes\":{\"in\":520,\"out\":6}},"
              "\"ret\":0,\"error\":0}\r\n");

    // Characters out up to their terminator; a void call has no result.
    char16_t temp[8] = {u'\\', u'T', u'e', u'm', u'p', u'\\', 0, u'x'};
    EXPECT_EQ(Record(call_shapes::GetTempPathW, {8, Word(temp)}, ResultOf(DWORD{6}), 0),
              "{\"n\":7,\"call\":\"GetTempPathW\",\"args\":{\"size\":8,\"buffer\":\"\\\\Temp\\\\\"},"
              "\"ret\":6,\"error\":0}\r\n");
    EXPECT_EQ(Record(call_shapes::SetLastError, {32}, NoResult(), 32),
              "{\"n\":7,\"call\":\"SetLastError\",\"args\":{\"error\":32},\"error\":32}\r\n");
    EXPECT_EQ(Record(call_shapes::DeleteFileW, {0}, ResultOf(BOOL{0}), 87),
              "{\"n\":7,\"call\":\"DeleteFileW\",\"args\":{\"path\":null},\"ret\":0,\"error\":87}\r\n");
}

TEST(TraceRecord, TextIsEscapedAndSignedResultsStaySigned)
{
    // A quote, a line break, a non-ASCII letter, a pair and a lone surrogate.
    const char16_t text[] = {u'"', u'\n', u'\u00e9', 0xD83D, 0xDE00, 0xDC00, 0};
    EXPECT_EQ(Record(call_shapes::MessageBoxW, {0, Word(text), Word(u"TRQ Uninstall"), 0x24}, ResultOf(int{-1}), 0),
              "{\"n\":7,\"call\":\"MessageBoxW\",\"args\":{\"owner\":\"0x0\",\"text\":\"\\\"\\u000a\xc3\xa9"
              "\xf0\x9f\x98\x80\\udc00\",\"caption\":\"TRQ Uninstall\",\"flags\":36},\"ret\":-1,\"error\":0}\r\n");
}

TEST(TraceRecord, WhatDoesNotFitIsCutAndTheLineStaysWholeJson)
{
    std::u16string path = u"\\" + std::u16string(300, u'a');
    for (unsigned size : {96u, 128u, 256u}) {
        const std::string line = Record(call_shapes::DeleteFileW, {Word(path.c_str())}, ResultOf(BOOL{1}), 0, size);
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
    const std::string whole = Record(call_shapes::DeleteFileW, {Word(path.c_str())}, ResultOf(BOOL{1}), 0);
    EXPECT_EQ(nlohmann::json::parse(whole)["args"]["path"], "\\" + std::string(300, 'a'));
    EXPECT_FALSE(nlohmann::json::parse(whole).contains("cut"));
}

}  // namespace
