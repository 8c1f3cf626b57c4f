// A small JSON reader for the tests: checks that vanta's output is well-formed JSON and takes it
// apart into values.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace json_test {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Value> items;
    std::map<std::string, Value> members;

    const Value& operator[](const std::string& key) const {
        auto it = members.find(key);
        if (kind != Object || it == members.end())
            throw std::runtime_error("no member " + key);
        return it->second;
    }
};

class Reader {
public:
    explicit Reader(std::string_view text) : m_text(text) {}

    // The whole text as one value; throws on anything that is not strict JSON.
    Value ReadDocument() {
        Value v = ReadValue();
        SkipSpace();
        if (m_pos != m_text.size())
            Fail("trailing text");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& why) {
        throw std::runtime_error(why + " at " + std::to_string(m_pos));
    }
    void SkipSpace() {
        while (m_pos < m_text.size() &&
               std::string_view(" \t\r\n").find(m_text[m_pos]) != std::string_view::npos)
            ++m_pos;
    }
    char Next() {
        if (m_pos >= m_text.size())
            Fail("end of text");
        return m_text[m_pos++];
    }
    void Expect(std::string_view word) {
        if (m_text.substr(m_pos, word.size()) != word)
            Fail("expected " + std::string(word));
        m_pos += word.size();
    }

    Value ReadValue() {
        SkipSpace();
        Value v;
        if (m_pos >= m_text.size())
            Fail("no value");
        const char c = m_text[m_pos];
        if (c == '{') {
            v.kind = Value::Object;
            ++m_pos;
            SkipSpace();
            if (m_text[m_pos] == '}') {
                ++m_pos;
                return v;
            }
            for (;;) {
                SkipSpace();
                if (Next() != '"')
                    Fail("key");
                std::string key = ReadStringBody();
                SkipSpace();
                if (Next() != ':')
                    Fail("colon");
                if (!v.members.emplace(key, ReadValue()).second)
                    Fail("repeated key " + key);
                SkipSpace();
                const char sep = Next();
                if (sep == '}')
                    return v;
                if (sep != ',')
                    Fail("comma");
            }
        }
        if (c == '[') {
            v.kind = Value::Array;
            ++m_pos;
            SkipSpace();
            if (m_text[m_pos] == ']') {
                ++m_pos;
                return v;
            }
            for (;;) {
                v.items.push_back(ReadValue());
                SkipSpace();
                const char sep = Next();
                if (sep == ']')
                    return v;
                if (sep != ',')
                    Fail("comma");
            }
        }
        if (c == '"') {
            ++m_pos;
            v.kind = Value::String;
            v.text = ReadStringBody();
            return v;
        }
        if (c == 't' || c == 'f') {
            v.kind = Value::Bool;
            v.boolean = c == 't';
            Expect(v.boolean ? "true" : "false");
            return v;
        }
        if (c == 'n') {
            Expect("null");
            return v;
        }
        const std::string rest(m_text.substr(m_pos));
        char* end = nullptr;
        v.kind = Value::Number;
        v.number = std::strtod(rest.c_str(), &end);
        if (end == rest.c_str())
            Fail("bad value");
        m_pos += static_cast<size_t>(end - rest.c_str());
        return v;
    }

    // After the opening quote; code points below 0x100 come back as single bytes.
    std::string ReadStringBody() {
        std::string out;
        for (;;) {
            const char c = Next();
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                Fail("raw control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = Next();
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    const std::string hex(m_text.substr(m_pos, 4));
                    if (hex.size() != 4 ||
                        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                        Fail("bad \\u escape");
                    m_pos += 4;
                    const unsigned long code = std::strtoul(hex.c_str(), nullptr, 16);
                    if (code > 0xff)
                        Fail("code point outside the single-byte range");
                    out += static_cast<char>(code);
                    break;
                }
                default:
                    Fail("bad escape");
            }
        }
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

inline Value Parse(std::string_view text) {
    return Reader(text).ReadDocument();
}

}  // namespace json_test
