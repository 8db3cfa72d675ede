#include "formats/reg_file.h"

#include <optional>
#include <unordered_map>
#include <utility>

#include "device/device_text.h"
#include "formats/text.h"

namespace formats {

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
// Lines of hex data are wrapped so that none is longer than this, the
// trailing "\" included.
constexpr size_t kHexLineWidth = 80;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Position of the first character at or after pos that is not a blank.
size_t SkipBlanks(std::u16string_view s, size_t pos)
{
    while (pos < s.size() && IsBlank(s[pos])) ++pos;
    return pos;
}

// Reads digits as a hex number; false if one is not a hex digit. Eight
// digits at most fit.
bool HexNumber(std::u16string_view digits, uint32_t& number)
{
    number = 0;
    for (const char16_t c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0) return false;
        number = number << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool StartsWithIgnoreCase(std::u16string_view s, std::u16string_view prefix)
{
    return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

std::u16string Folded(std::u16string_view s)
{
    std::u16string folded(s);
    for (auto& c : folded) c = FoldCase(c);
    return folded;
}

// A piece of the file's text for a message: at most 40 units, control
// characters shown as '?'.
std::string Excerpt(std::u16string_view s)
{
    constexpr size_t kMax = 40;
    const bool cut = s.size() > kMax;
    std::u16string shown(s.substr(0, kMax));
    for (auto& c : shown) {
        if (c < 0x20 || c == 0x7F) c = u'?';
    }
    return "'" + Utf16ToUtf8Lossy(shown) + (cut ? "...'" : "'");
}

// Finds sub-keys and values by name while a file is read. Short lists are
// scanned; a list that grows long gets a hash index (folded name to
// position), built the first time it is searched, so a key with a great many
// sub-keys or values costs no more per line than a small one, and a deep
// chain of single sub-keys costs no index at all.
template <class Item>
class NameFinder {
public:
    using Name = std::u16string_view (*)(const Item&);
    explicit NameFinder(Name name) : name_(name) {}

    // Position of the item named name in items, or -1.
    long Find(const void* owner, const std::vector<Item>& items, std::u16string_view name)
    {
        if (items.size() < kIndexFrom) {
            for (size_t i = 0; i < items.size(); ++i) {
                if (EqualsIgnoreCase(name_(items[i]), name)) return static_cast<long>(i);
            }
            return -1;
        }
        Index& index = indexes_[owner];
        for (; index.count < items.size(); ++index.count) {
            // The first of a name wins, as in the scan.
            index.positions.emplace(Folded(name_(items[index.count])), index.count);
        }
        const auto found = index.positions.find(Folded(name));
        return found == index.positions.end() ? -1 : static_cast<long>(found->second);
    }

private:
    static constexpr size_t kIndexFrom = 16;
    struct Index {
        size_t count = 0;  // items indexed so far; the list only grows
        std::unordered_map<std::u16string, size_t> positions;
    };
    Name name_;
    std::unordered_map<const void*, Index> indexes_;
};

// Splits decoded text into lines at LF; a CR before the LF is not part of
// the line.
class LineReader {
public:
    explicit LineReader(std::u16string_view text) : text_(text) {}

    bool Next(std::u16string_view& line)
    {
        if (pos_ >= text_.size()) return false;
        const size_t end = text_.find(u'\n', pos_);
        const size_t stop = end == std::u16string_view::npos ? text_.size() : end;
        line = text_.substr(pos_, stop - pos_);
        if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
        if (number_ == 0 && end != std::u16string_view::npos) {
            firstEnding_ = stop > pos_ && text_[stop - 1] == u'\r' ? 1 : 0;
        }
        pos_ = end == std::u16string_view::npos ? text_.size() : end + 1;
        ++number_;
        return true;
    }
    int Number() const { return number_; }
    // -1: the first line has no line end; 0: LF; 1: CRLF.
    int FirstEnding() const { return firstEnding_; }

private:
    std::u16string_view text_;
    size_t pos_ = 0;
    int number_ = 0;
    int firstEnding_ = -1;
};

// Reads comma-separated hex bytes, possibly spread over several lines.
class HexReader {
public:
    // Feeds one line's part of the data. False with reason on bad text.
    bool Feed(std::u16string_view s, std::string& reason)
    {
        for (const char16_t c : s) {
            const int digit = HexDigit(c);
            if (digit >= 0) {
                if (!Digit(digit, reason)) return false;
            } else if (c == u',') {
                if (!Comma(reason)) return false;
            } else if (IsBlank(c)) {
                Boundary();
            } else {
                reason = "bad character " + Excerpt(std::u16string_view(&c, 1)) + " in hex data";
                return false;
            }
        }
        return true;
    }
    // Between two lines of data.
    void Boundary()
    {
        if (state_ == kInByte) state_ = kAfterByte;
    }
    bool Finish(std::string& reason)
    {
        if (state_ == kAfterComma) {
            reason = "hex data ends with ','";
            return false;
        }
        return true;
    }
    std::vector<uint8_t>& Bytes() { return bytes_; }

private:
    enum State { kStart, kAfterComma, kInByte, kAfterByte };

    bool Digit(int digit, std::string& reason)
    {
        if (state_ == kAfterByte) {
            reason = "missing ',' between hex bytes";
            return false;
        }
        if (state_ != kInByte) {
            bytes_.push_back(static_cast<uint8_t>(digit));
            digits_ = 1;
            state_ = kInByte;
        } else if (digits_ == 2) {
            reason = "hex byte with more than two digits";
            return false;
        } else {
            bytes_.back() = static_cast<uint8_t>(bytes_.back() * 16 + digit);
            ++digits_;
        }
        return true;
    }
    bool Comma(std::string& reason)
    {
        if (state_ == kStart || state_ == kAfterComma) {
            reason = "empty hex byte before ','";
            return false;
        }
        state_ = kAfterComma;
        return true;
    }

    State state_ = kStart;
    int digits_ = 0;
    std::vector<uint8_t> bytes_;
};

class Parser {
public:
    // The parser reads text's lines; text outlives it.
    Parser(std::u16string_view text, RegFile& out, RegFileError& error) : lines_(text), out_(out), error_(error) {}

    bool Parse();

private:
    bool Fail(int line, std::string reason)
    {
        error_.line = line;
        error_.reason = std::move(reason);
        return false;
    }
    // At the current line.
    bool Fail(std::string reason) { return Fail(lines_.Number(), std::move(reason)); }
    // The first line; the file keeps its line end.
    bool Header();
    // A [ROOT\path] line: the key it names becomes the current section,
    // made first with any of its parents that are not there yet.
    bool Section(std::u16string_view body);
    // The root named, or null.
    RegKey* FindRoot(std::u16string_view name);
    // Walks from key down path (names separated by '\'); rootLength is the
    // length of the root's name before it.
    bool KeyPath(size_t rootLength, std::u16string_view path, RegKey*& key);
    // A key's name, depth levels below its root.
    bool CheckKeyName(std::u16string_view name, int depth);
    // The sub-key of parent named name, added if there is none; a key added
    // counts its full name, fullLength units long, against kMaxKeyNamesLength.
    bool SubKey(RegKey& parent, std::u16string_view name, size_t fullLength, RegKey*& key);

    // A value line: its name, the '=', then the data, which may run on over
    // the lines that follow. The value goes into the current section.
    bool Value(std::u16string_view body);
    // @ or a quoted name; pos ends past it.
    bool ValueName(std::u16string_view body, size_t& pos, std::u16string& name);
    // The '=' and the blanks around it; pos ends at the data.
    bool Equals(std::u16string_view body, size_t& pos);
    // The data after the '=', by its kind.
    bool Data(std::u16string_view data, RegValue& value);
    // "text", with nothing after the closing quote.
    bool StringValue(std::u16string_view data, RegValue& value);
    // The digits after "dword:".
    bool DwordValue(std::u16string_view digits, RegValue& value);
    // hex(N): with N the value type in hex, then bytes as after hex:.
    bool TypedHexValue(std::u16string_view data, RegValue& value);
    // A name given twice in a section: the later data replaces the earlier
    // in its place, under the name as first written.
    void Store(RegValue value);
    // Reads a quoted string at s[pos] (the opening quote); pos ends past the
    // closing quote.
    bool Quoted(std::u16string_view s, size_t& pos, std::u16string& text, const char* what);
    // The bytes after hex: or hex(N):, and on the lines that follow for as
    // long as a line ends in '\'.
    bool HexData(std::u16string_view first, std::vector<uint8_t>& bytes);
    bool CheckText(std::u16string_view line)
    {
        if (line.find(u'\0') != std::u16string_view::npos) return Fail("NUL character in the text");
        return true;
    }

    LineReader lines_;
    RegFile& out_;
    RegFileError& error_;
    RegKey* current_ = nullptr;
    size_t keyNamesLength_ = 0;  // of the keys made so far, each "ROOT\path" in full
    NameFinder<std::unique_ptr<RegKey>> keyFinder_{
        [](const std::unique_ptr<RegKey>& key) { return std::u16string_view(key->name); }};
    NameFinder<RegValue> valueFinder_{
        [](const RegValue& value) { return std::u16string_view(value.name); }};
};

bool Parser::Parse()
{
    if (!Header()) return false;
    std::u16string_view line;
    while (lines_.Next(line)) {
        if (!CheckText(line)) return false;
        const std::u16string_view body = Trim(line);
        if (body.empty() || body.front() == u';') continue;
        if (body.front() == u'[') {
            if (!Section(body)) return false;
        } else if (body.front() == u'"' || body.front() == u'@') {
            if (!Value(body)) return false;
        } else {
            return Fail("unexpected line " + Excerpt(body) +
                        "; expected a [section], a value or a ; comment");
        }
    }
    return true;
}

bool Parser::Header()
{
    std::u16string_view line;
    if (!lines_.Next(line)) {
        return Fail(1, "empty file; expected 'Windows Registry Editor Version 5.00'");
    }
    if (Trim(line) != kHeader) {
        std::string reason = "expected 'Windows Registry Editor Version 5.00' as the first line, "
                             "found " + Excerpt(line);
        if (Trim(line) == u"REGEDIT4") reason += " (REGEDIT4 files are not supported)";
        return Fail(1, reason);
    }
    out_.crlf = lines_.FirstEnding() != 0;
    return true;
}

bool Parser::Section(std::u16string_view body)
{
    if (body.size() < 2 || body.back() != u']') {
        return Fail("section header does not end with ']'");
    }
    const std::u16string_view inner = body.substr(1, body.size() - 2);
    if (!inner.empty() && inner.front() == u'-') {
        return Fail("deleting keys ('[-...]') is not supported");
    }
    const size_t slash = inner.find(u'\\');
    const std::u16string_view rootName = inner.substr(0, slash);
    RegKey* key = FindRoot(rootName);
    if (!key) {
        return Fail("unknown root " + Excerpt(rootName) +
                    "; expected HKEY_CLASSES_ROOT, HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE");
    }
    if (slash != std::u16string_view::npos && !KeyPath(rootName.size(), inner.substr(slash + 1), key)) {
        return false;
    }
    current_ = key;
    return true;
}

RegKey* Parser::FindRoot(std::u16string_view name)
{
    for (int i = 0; i < kRootCount; ++i) {
        const Root root = static_cast<Root>(i);
        const std::string rootName = RootName(root);
        if (EqualsIgnoreCase(name, std::u16string(rootName.begin(), rootName.end()))) {
            return &out_.keys.RootKey(root);
        }
    }
    return nullptr;
}

bool Parser::KeyPath(size_t rootLength, std::u16string_view path, RegKey*& key)
{
    size_t fullLength = rootLength;
    for (int depth = 1;; ++depth) {
        const size_t next = path.find(u'\\');
        const std::u16string_view name = path.substr(0, next);
        if (!CheckKeyName(name, depth)) return false;
        fullLength += 1 + name.size();
        if (!SubKey(*key, name, fullLength, key)) return false;
        if (next == std::u16string_view::npos) return true;
        path = path.substr(next + 1);
    }
}

bool Parser::CheckKeyName(std::u16string_view name, int depth)
{
    if (name.empty()) return Fail("empty key name in the section path");
    if (depth > kMaxKeyDepth) {
        return Fail("keys nested deeper than " + std::to_string(kMaxKeyDepth) + " levels");
    }
    if (name.size() > kMaxKeyNameLength) {
        return Fail("key name longer than " + std::to_string(kMaxKeyNameLength) +
                    " characters: " + Excerpt(name));
    }
    if (!IsValidUtf16(name)) {
        return Fail("key name " + Excerpt(name) + " is not valid UTF-16 (lone surrogate)");
    }
    return true;
}

bool Parser::SubKey(RegKey& parent, std::u16string_view name, size_t fullLength, RegKey*& key)
{
    const long found = keyFinder_.Find(&parent, parent.keys, name);
    if (found >= 0) {
        key = parent.keys[static_cast<size_t>(found)].get();
        return true;
    }
    // Every key is listed and written back by its full name, so their total
    // length bounds what a listing or the file written back can take.
    keyNamesLength_ += fullLength;
    if (keyNamesLength_ > kMaxKeyNamesLength) {
        return Fail("the full names of the keys add up to more than " +
                    std::to_string(kMaxKeyNamesLength) + " characters");
    }
    parent.keys.push_back(std::make_unique<RegKey>());
    key = parent.keys.back().get();
    key->name = std::u16string(name);
    return true;
}

bool Parser::Quoted(std::u16string_view s, size_t& pos, std::u16string& text, const char* what)
{
    text.clear();
    ++pos;  // the opening quote
    while (pos < s.size()) {
        const char16_t c = s[pos++];
        if (c == u'"') return true;
        if (c == u'\\') {
            if (pos >= s.size()) break;
            const char16_t escaped = s[pos++];
            if (escaped != u'\\' && escaped != u'"') {
                return Fail(std::string("unknown escape '\\") +
                            Excerpt(std::u16string_view(&escaped, 1)).substr(1) + " in " + what +
                            " (only \\\\ and \\\")");
            }
            text.push_back(escaped);
        } else {
            text.push_back(c);
        }
    }
    return Fail(std::string("unterminated ") + what + " (no closing '\"')");
}

bool Parser::Value(std::u16string_view body)
{
    if (!current_) return Fail("value before the first [section]");
    RegValue value;
    size_t pos = 0;
    if (!ValueName(body, pos, value.name) || !Equals(body, pos)) return false;
    if (!Data(body.substr(pos), value)) return false;
    Store(std::move(value));
    return true;
}

bool Parser::ValueName(std::u16string_view body, size_t& pos, std::u16string& name)
{
    if (body.front() == u'@') {
        pos = 1;
        return true;
    }
    if (!Quoted(body, pos, name, "value name")) return false;
    if (!IsValidUtf16(name)) {
        return Fail("value name " + Excerpt(name) + " is not valid UTF-16 (lone surrogate)");
    }
    return true;
}

bool Parser::Equals(std::u16string_view body, size_t& pos)
{
    pos = SkipBlanks(body, pos);
    if (pos >= body.size() || body[pos] != u'=') {
        return Fail("expected '=' after the value name");
    }
    pos = SkipBlanks(body, pos + 1);
    return true;
}

bool Parser::Data(std::u16string_view data, RegValue& value)
{
    if (!data.empty() && data.front() == u'"') return StringValue(data, value);
    if (data == u"-") return Fail("deleting values ('=-') is not supported");
    if (StartsWithIgnoreCase(data, u"dword:")) return DwordValue(data.substr(6), value);
    if (StartsWithIgnoreCase(data, u"hex:")) {
        value.type = kRegBinary;
        return HexData(data.substr(4), value.data);
    }
    if (StartsWithIgnoreCase(data, u"hex(")) return TypedHexValue(data, value);
    return Fail("unknown value data " + Excerpt(data) +
                "; expected \"string\", dword:, hex: or hex(N):");
}

bool Parser::StringValue(std::u16string_view data, RegValue& value)
{
    // The text is checked where it lies in the file, then written once into
    // the value's data: a string as long as the file is never copied whole
    // on its way there.
    size_t length = 0, end = 1;
    while (end < data.size() && data[end] != u'"') {
        if (data[end] == u'\\') {
            if (end + 1 >= data.size()) {
                end = data.size();  // a '\\' that escapes nothing
                break;
            }
            const char16_t escaped = data[end + 1];
            if (escaped != u'\\' && escaped != u'"') {
                std::u16string ignored;
                size_t pos = 0;
                return Quoted(data, pos, ignored, "string");  // names the escape
            }
            ++end;
        }
        ++end;
        ++length;
    }
    if (end >= data.size()) return Fail("unterminated string (no closing '\"')");
    if (end + 1 != data.size()) {
        return Fail("unexpected text after the string: " + Excerpt(data.substr(end + 1)));
    }
    // Taking out an escaping '\' never puts two units side by side that
    // were not, so the text is valid UTF-16 exactly when the quoted part is.
    if (!IsValidUtf16(data.substr(1, end - 1))) {
        return Fail("string is not valid UTF-16 (lone surrogate); write such data as hex(1):");
    }
    value.type = kRegSz;
    value.data.assign((length + 1) * 2, 0);
    size_t unit = 0;
    for (size_t i = 1; i < end; ++i, ++unit) {
        if (data[i] == u'\\') ++i;
        value.data[2 * unit] = static_cast<uint8_t>(data[i]);
        value.data[2 * unit + 1] = static_cast<uint8_t>(data[i] >> 8);
    }
    return true;
}

bool Parser::DwordValue(std::u16string_view digits, RegValue& value)
{
    uint32_t number = 0;
    if (digits.size() != 8 || !HexNumber(digits, number)) {
        return Fail("dword: needs exactly 8 hex digits, found " + Excerpt(digits));
    }
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
    return true;
}

bool Parser::TypedHexValue(std::u16string_view data, RegValue& value)
{
    const size_t close = data.find(u')');
    const bool closed = close != std::u16string_view::npos;
    const std::u16string_view digits = data.substr(4, closed ? close - 4 : 0);
    const bool typed = closed && !digits.empty() && digits.size() <= 8 &&
                       close + 1 < data.size() && data[close + 1] == u':';
    if (!typed || !HexNumber(digits, value.type)) {
        return Fail("bad value type in " + Excerpt(data) +
                    "; expected hex(N): with N 1 to 8 hex digits");
    }
    return HexData(data.substr(close + 2), value.data);
}

void Parser::Store(RegValue value)
{
    const long found = valueFinder_.Find(current_, current_->values, value.name);
    if (found >= 0) {
        RegValue& existing = current_->values[static_cast<size_t>(found)];
        existing.type = value.type;
        existing.data = std::move(value.data);
    } else {
        current_->values.push_back(std::move(value));
    }
}

bool Parser::HexData(std::u16string_view first, std::vector<uint8_t>& bytes)
{
    HexReader reader;
    std::string reason;
    std::u16string_view part = Trim(first);
    for (;;) {
        const bool more = !part.empty() && part.back() == u'\\';
        if (more) part.remove_suffix(1);
        if (!reader.Feed(part, reason)) return Fail(reason);
        if (!more) break;
        reader.Boundary();
        std::u16string_view line;
        if (!lines_.Next(line)) return Fail("hex data continues past the end of the file");
        if (!CheckText(line)) return false;
        part = Trim(line);
    }
    if (!reader.Finish(reason)) return Fail(reason);
    bytes = std::move(reader.Bytes());
    return true;
}

// The text of a file being written, encoded as it is written: pieces go
// through a small buffer, so the file is never held a second time as
// UTF-16. A high surrogate at the end of the buffer waits for the unit after
// it, so the encoding is the same as that of the whole text at once. Without
// bytes it only counts.
class RegTextOut {
public:
    RegTextOut(TextEncoding encoding, std::string* bytes) : encoding_(encoding), bytes_(bytes) {}

    void Put(char16_t c)
    {
        pending_[pendingCount_++] = c;
        ++units_;
        if (pendingCount_ == kChunk) Flush(false);
    }
    void Put(std::u16string_view s)
    {
        for (const char16_t c : s) Put(c);
    }
    void PutBytes(std::string_view raw)
    {
        size_ += raw.size();
        if (bytes_) bytes_->append(raw);
    }
    void Finish() { Flush(true); }
    size_t Units() const { return units_; }  // put so far
    size_t Size() const { return size_; }    // bytes, once finished

private:
    static constexpr size_t kChunk = 4096;

    void Flush(bool all)
    {
        const size_t keep =
            !all && pendingCount_ > 0 && device_text::IsHighSurrogate(pending_[pendingCount_ - 1]) ? 1 : 0;
        const std::u16string_view text(pending_, pendingCount_ - keep);
        const std::string encoded =
            encoding_ == TextEncoding::Utf16LeBom ? Utf16LeBytes(text) : Utf16ToUtf8Lossy(text);
        PutBytes(encoded);
        if (keep) pending_[0] = pending_[pendingCount_ - 1];
        pendingCount_ = keep;
    }

    TextEncoding encoding_;
    std::string* bytes_;
    char16_t pending_[kChunk] = {};
    size_t pendingCount_ = 0;
    size_t units_ = 0;
    size_t size_ = 0;
};

// Puts s with \ and " escaped.
void PutEscaped(RegTextOut& out, std::u16string_view s)
{
    for (const char16_t c : s) {
        if (c == u'\\' || c == u'"') out.Put(u'\\');
        out.Put(c);
    }
}

char16_t UnitOf(const std::vector<uint8_t>& data, size_t i)
{
    return static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
}

// Whether a REG_SZ can be written as "string": whole UTF-16 units, exactly
// one NUL (the last unit), no line breaks, no lone surrogates.
bool IsPlainString(const std::vector<uint8_t>& data)
{
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    const size_t units = data.size() / 2 - 1;
    if (UnitOf(data, units) != 0) return false;
    bool highBefore = false;
    for (size_t i = 0; i < units; ++i) {
        const char16_t c = UnitOf(data, i);
        if (c == 0 || c == u'\r' || c == u'\n') return false;
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (highBefore != low) return false;
        highBefore = high;
    }
    return !highBefore;
}

// "text" of a plain string's data, with \ and " escaped.
void PutPlainString(RegTextOut& out, const std::vector<uint8_t>& data)
{
    out.Put(u'"');
    for (size_t i = 0; i + 1 < data.size() / 2; ++i) {
        const char16_t c = UnitOf(data, i);
        if (c == u'\\' || c == u'"') out.Put(u'\\');
        out.Put(c);
    }
    out.Put(u'"');
}

void PutHex(RegTextOut& out, uint32_t number, int minDigits)
{
    static const char16_t kDigits[] = u"0123456789abcdef";
    char16_t buffer[8];
    int n = 0;
    do {
        buffer[n++] = kDigits[number & 0xF];
        number >>= 4;
    } while (number != 0 && n < 8);
    while (n < minDigits) buffer[n++] = u'0';
    while (n > 0) out.Put(buffer[--n]);
}

// "text" with \ and " escaped.
void PutQuoted(RegTextOut& out, std::u16string_view s)
{
    out.Put(u'"');
    PutEscaped(out, s);
    out.Put(u'"');
}

// hex: or hex(type): and the bytes, wrapped so that no line is wider than
// kHexLineWidth; the value's line started when lineStart units were out.
void PutHexData(RegTextOut& out, uint32_t type, const std::vector<uint8_t>& data,
                size_t lineStart, std::u16string_view eol)
{
    if (type == kRegBinary) {
        out.Put(u"hex:");
    } else {
        out.Put(u"hex(");
        PutHex(out, type, 1);
        out.Put(u"):");
    }
    size_t column = out.Units() - lineStart;
    for (size_t i = 0; i < data.size(); ++i) {
        // Room for "xx," and a closing "\" on this line, or start the next.
        if (column + 4 > kHexLineWidth) {
            out.Put(u'\\');
            out.Put(eol);
            out.Put(u"  ");
            column = 2;
        }
        PutHex(out, data[i], 2);
        column += 2;
        if (i + 1 < data.size()) {
            out.Put(u',');
            ++column;
        }
    }
}

void PutValue(RegTextOut& out, const RegValue& value, std::u16string_view eol)
{
    const size_t lineStart = out.Units();
    if (value.name.empty()) {
        out.Put(u'@');
    } else {
        PutQuoted(out, value.name);
    }
    out.Put(u'=');
    if (value.type == kRegSz && IsPlainString(value.data)) {
        PutPlainString(out, value.data);
    } else if (value.type == kRegDword && value.data.size() == 4) {
        const uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                static_cast<uint32_t>(value.data[3]) << 24;
        out.Put(u"dword:");
        PutHex(out, number, 8);
    } else {
        PutHexData(out, value.type, value.data, lineStart, eol);
    }
    out.Put(eol);
}

void PutSection(RegTextOut& out, std::u16string_view rootName, std::u16string_view path,
                const RegKey& key, std::u16string_view eol)
{
    out.Put(u'[');
    out.Put(rootName);
    if (!path.empty()) {
        out.Put(u'\\');
        out.Put(path);
    }
    out.Put(u']');
    out.Put(eol);
    for (const RegValue& value : key.values) PutValue(out, value, eol);
    out.Put(eol);
}

// The whole file into out.
void PutRegFile(RegTextOut& out, const RegFile& file)
{
    if (file.encoding == TextEncoding::Utf16LeBom) out.PutBytes("\xFF\xFE");
    if (file.encoding == TextEncoding::Utf8Bom) out.PutBytes("\xEF\xBB\xBF");
    const std::u16string_view eol = file.crlf ? u"\r\n" : u"\n";
    out.Put(kHeader);
    out.Put(eol);
    out.Put(eol);
    for (int i = 0; i < kRootCount; ++i) {
        const Root root = static_cast<Root>(i);
        const std::string name = RootName(root);
        const std::u16string rootName(name.begin(), name.end());
        const RegKey& top = file.keys.RootKey(root);
        if (!top.values.empty()) PutSection(out, rootName, u"", top, eol);
        ForEachKey(top, [&](std::u16string_view keyPath, const RegKey& key) {
            PutSection(out, rootName, keyPath, key, eol);
        });
    }
    out.Finish();
}

}  // namespace

std::string RegFileError::Message() const
{
    if (line > 0) return file + ":" + std::to_string(line) + ": " + reason;
    return file + ": " + reason;
}

bool ParseRegFile(std::string_view bytes, const std::string& fileName, RegFile& out,
                  RegFileError& error)
{
    RegFileError failure;
    failure.file = fileName;
    RegFile parsed;
    std::u16string text;
    TextDecodeError decodeError;
    if (!DecodeText(bytes, parsed.encoding, text, decodeError)) {
        failure.line = decodeError.line;
        failure.reason = std::move(decodeError.reason);
        error = std::move(failure);
        return false;
    }
    Parser parser(text, parsed, failure);
    if (!parser.Parse()) {
        error = std::move(failure);
        return false;
    }
    out = std::move(parsed);
    return true;
}

std::string FormatRegFile(const RegFile& file)
{
    std::string bytes;
    FormatRegFile(file, bytes);
    return bytes;
}

size_t FormattedRegFileSize(const RegFile& file)
{
    RegTextOut counter(file.encoding, nullptr);
    PutRegFile(counter, file);
    return counter.Size();
}

void FormatRegFile(const RegFile& file, std::string& bytes)
{
    bytes.clear();
    RegTextOut out(file.encoding, &bytes);
    PutRegFile(out, file);
}

bool RegFileHoldsValueName(std::u16string_view name)
{
    for (const char16_t c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return IsValidUtf16(name);
}

bool RegFileHoldsKeyName(std::u16string_view name)
{
    return !name.empty() && name.size() <= kMaxKeyNameLength && name.find(u'\\') == std::u16string_view::npos &&
           RegFileHoldsValueName(name);
}

}  // namespace formats
