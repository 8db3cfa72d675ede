#include "harness/runner/json_line.h"

#include <set>

#include "formats/text.h"

namespace runner {

namespace {

constexpr int kDeepest = 16;

class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) {}

    bool Whole(JsonValue& out)
    {
        if (!Value(out, 0)) return false;
        Blanks();
        return at_ == s_.size() || Fail("text after the value");
    }

    std::string error;

private:
    bool Fail(const std::string& why)
    {
        if (error.empty()) error = why + " at byte " + std::to_string(at_ + 1);
        return false;
    }

    void Blanks()
    {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n')) ++at_;
    }

    bool Take(char c)
    {
        Blanks();
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool Value(JsonValue& v, int depth)
    {
        if (depth > kDeepest) return Fail("nested too deep");
        Blanks();
        if (at_ == s_.size()) return Fail("a value missing");
        bool ok;
        const char c = s_[at_];
        if (c == '{') ok = Object(v, depth);
        else if (c == '[') ok = Array(v, depth);
        else if (c == '"') v.type = JsonValue::Type::String, ok = String(v.text);
        else if (c == '-' || (c >= '0' && c <= '9')) ok = Number(v);
        else ok = Literal(v);
        return ok;
    }

    bool Object(JsonValue& v, int depth)
    {
        v.type = JsonValue::Type::Object;
        ++at_;
        if (Take('}')) return true;
        // No writer of these files names a member twice; a reader that kept
        // either one would read a damaged or forged line as whole.
        std::set<std::u16string> names;
        do {
            Blanks();
            std::u16string key;
            const size_t named = at_;
            if (at_ == s_.size() || s_[at_] != '"') return Fail("a member's name missing");
            if (!String(key)) return false;
            if (!names.insert(key).second) {
                at_ = named;
                return Fail("a second member named \"" + formats::Utf16ToUtf8Lossy(key) + "\"");
            }
            if (!Take(':')) return Fail("':' missing");
            v.members.emplace_back(formats::Utf16ToUtf8Lossy(key), JsonValue{});
            if (!Value(v.members.back().second, depth + 1)) return false;
        } while (Take(','));
        return Take('}') || Fail("'}' missing");
    }

    bool Array(JsonValue& v, int depth)
    {
        v.type = JsonValue::Type::Array;
        ++at_;
        if (Take(']')) return true;
        do {
            v.items.emplace_back();
            if (!Value(v.items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take(']') || Fail("']' missing");
    }

    bool Literal(JsonValue& v)
    {
        for (const char* word : {"null", "true", "false"}) {
            const std::string_view w(word);
            if (s_.substr(at_, w.size()) == w) {
                at_ += w.size();
                v.type = w == "null" ? JsonValue::Type::Null : JsonValue::Type::Bool;
                v.boolean = w == "true";
                return true;
            }
        }
        return Fail("not a JSON value");
    }

    bool Digits()
    {
        const size_t from = at_;
        while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
        return at_ > from || Fail("a digit missing");
    }

    bool Number(JsonValue& v)
    {
        v.type = JsonValue::Type::Number;
        const bool negative = s_[at_] == '-';
        if (negative) ++at_;
        const size_t digits = at_;
        if (!Digits()) return false;
        const size_t end = at_;
        if (end - digits > 1 && s_[digits] == '0') {
            at_ = digits;
            return Fail("a number with a leading zero, which JSON does not allow");
        }
        bool whole = true;
        if (at_ < s_.size() && s_[at_] == '.') {
            ++at_;
            whole = false;
            if (!Digits()) return false;
        }
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            whole = false;
            if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
            if (!Digits()) return false;
        }
        if (!whole || end - digits > 18) return true;  // not a whole number a record holds
        int64_t n = 0;
        for (size_t i = digits; i < end; ++i) n = n * 10 + (s_[i] - '0');
        v.integral = true;
        v.number = negative ? -n : n;
        return true;
    }

    bool Hex4(uint16_t& unit)
    {
        if (at_ + 4 > s_.size()) return Fail("a \\u escape cut short");
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = formats::HexDigit(static_cast<unsigned char>(s_[at_++]));
            if (d < 0) return Fail("a \\u escape with a character that is no hexadecimal digit");
            unit = static_cast<uint16_t>(unit << 4 | d);
        }
        return true;
    }

    // One UTF-8 sequence, as UTF-16.
    bool Character(std::u16string& out)
    {
        char32_t c;
        size_t n;
        if (!formats::DecodeUtf8(s_, at_, c, n)) return Fail("malformed UTF-8");
        at_ += n;
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        }
        return true;
    }

    bool String(std::u16string& out)
    {
        ++at_;  // the opening quote
        while (at_ < s_.size()) {
            const char c = s_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
            if (c != '\\') {
                if (!Character(out)) return false;
                continue;
            }
            if (++at_ == s_.size()) break;
            const char e = s_[at_++];
            switch (e) {
            case '"': out += u'"'; break;
            case '\\': out += u'\\'; break;
            case '/': out += u'/'; break;
            case 'b': out += u'\b'; break;
            case 'f': out += u'\f'; break;
            case 'n': out += u'\n'; break;
            case 'r': out += u'\r'; break;
            case 't': out += u'\t'; break;
            case 'u': {
                uint16_t unit = 0;
                if (!Hex4(unit)) return false;
                out += static_cast<char16_t>(unit);  // a lone surrogate stays as it was written
                break;
            }
            default:
                --at_;
                return Fail("an unknown escape");
            }
        }
        return Fail("a string without its closing quote");
    }

    std::string_view s_;
    size_t at_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const
{
    for (const auto& [name, value] : members)
        if (name == key) return &value;
    return nullptr;
}

std::string JsonValue::Utf8() const
{
    return formats::Utf16ToUtf8Lossy(text);
}

bool ParseJsonLine(std::string_view line, JsonValue& out, std::string& error)
{
    Reader reader(line);
    out = JsonValue{};
    if (reader.Whole(out)) return true;
    error = reader.error;
    return false;
}

}  // namespace runner
