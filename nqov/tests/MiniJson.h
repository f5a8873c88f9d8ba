// MiniJson.h - a small JSON reader for the tests' manifests (objects,
// arrays, strings with escapes, numbers, true/false/null).

#ifndef NQOV_TESTS_MINIJSON_H
#define NQOV_TESTS_MINIJSON_H

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace minijson {

class Value {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Value> items;
    std::map<std::string, Value> members;

    bool IsNull() const { return kind == Kind::Null; }
    bool Has(const std::string& key) const { return members.count(key) != 0; }
    const Value& operator[](const std::string& key) const {
        auto it = members.find(key);
        if (it == members.end()) throw std::runtime_error("missing key: " + key);
        return it->second;
    }
    const Value& operator[](size_t index) const { return items.at(index); }
    size_t size() const { return kind == Kind::Array ? items.size() : members.size(); }
    int64_t Int() const { return static_cast<int64_t>(number); }
    uint64_t UInt() const { return static_cast<uint64_t>(number); }
    // A hex text "0x..." as a number.
    uint64_t Hex() const { return std::stoull(text, nullptr, 16); }
};

class Parser {
public:
    explicit Parser(const std::string& input) : m_in(input) {}

    Value Parse() {
        Value value = ParseValue();
        SkipSpace();
        if (m_pos != m_in.size()) Fail("trailing characters");
        return value;
    }

private:
    [[noreturn]] void Fail(const char* what) {
        throw std::runtime_error(std::string("json: ") + what + " at " + std::to_string(m_pos));
    }

    void SkipSpace() {
        while (m_pos < m_in.size() &&
               (m_in[m_pos] == ' ' || m_in[m_pos] == '\n' || m_in[m_pos] == '\r' || m_in[m_pos] == '\t'))
            m_pos++;
    }

    char Peek() {
        SkipSpace();
        if (m_pos >= m_in.size()) Fail("unexpected end");
        return m_in[m_pos];
    }

    void Expect(const char* word) {
        for (const char* p = word; *p; p++, m_pos++)
            if (m_pos >= m_in.size() || m_in[m_pos] != *p) Fail("unexpected word");
    }

    Value ParseValue() {
        Value value;
        switch (Peek()) {
            case '{':
                ParseObject(&value);
                break;
            case '[':
                ParseArray(&value);
                break;
            case '"':
                value.kind = Value::Kind::String;
                value.text = ParseString();
                break;
            case 't':
                Expect("true");
                value.kind = Value::Kind::Bool;
                value.boolean = true;
                break;
            case 'f':
                Expect("false");
                value.kind = Value::Kind::Bool;
                break;
            case 'n':
                Expect("null");
                break;
            default:
                ParseNumber(&value);
                break;
        }
        return value;
    }

    void ParseObject(Value* value) {
        value->kind = Value::Kind::Object;
        m_pos++;
        if (Peek() == '}') {
            m_pos++;
            return;
        }
        for (;;) {
            if (Peek() != '"') Fail("expected key");
            std::string key = ParseString();
            if (Peek() != ':') Fail("expected ':'");
            m_pos++;
            value->members[key] = ParseValue();
            const char next = Peek();
            m_pos++;
            if (next == '}') return;
            if (next != ',') Fail("expected ',' or '}'");
        }
    }

    void ParseArray(Value* value) {
        value->kind = Value::Kind::Array;
        m_pos++;
        if (Peek() == ']') {
            m_pos++;
            return;
        }
        for (;;) {
            value->items.push_back(ParseValue());
            const char next = Peek();
            m_pos++;
            if (next == ']') return;
            if (next != ',') Fail("expected ',' or ']'");
        }
    }

    void AppendUtf8(std::string* out, uint32_t cp) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    uint32_t ParseHex4() {
        if (m_pos + 4 > m_in.size()) Fail("short \\u escape");
        const uint32_t cp = static_cast<uint32_t>(std::stoul(m_in.substr(m_pos, 4), nullptr, 16));
        m_pos += 4;
        return cp;
    }

    std::string ParseString() {
        std::string out;
        m_pos++;  // opening quote
        while (m_pos < m_in.size() && m_in[m_pos] != '"') {
            char ch = m_in[m_pos++];
            if (ch != '\\') {
                out.push_back(ch);
                continue;
            }
            if (m_pos >= m_in.size()) Fail("bad escape");
            ch = m_in[m_pos++];
            switch (ch) {
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'u': {
                    uint32_t cp = ParseHex4();
                    if (cp >= 0xD800 && cp < 0xDC00 && m_pos + 6 <= m_in.size() && m_in[m_pos] == '\\' &&
                        m_in[m_pos + 1] == 'u') {
                        m_pos += 2;
                        const uint32_t low = ParseHex4();
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    AppendUtf8(&out, cp);
                    break;
                }
                default:
                    out.push_back(ch);
                    break;
            }
        }
        if (m_pos >= m_in.size()) Fail("unterminated string");
        m_pos++;  // closing quote
        return out;
    }

    void ParseNumber(Value* value) {
        const size_t start = m_pos;
        while (m_pos < m_in.size() &&
               (isdigit(static_cast<unsigned char>(m_in[m_pos])) || m_in[m_pos] == '-' ||
                m_in[m_pos] == '+' || m_in[m_pos] == '.' || m_in[m_pos] == 'e' || m_in[m_pos] == 'E'))
            m_pos++;
        if (start == m_pos) Fail("unexpected character");
        value->kind = Value::Kind::Number;
        value->number = std::stod(m_in.substr(start, m_pos - start));
    }

    const std::string& m_in;
    size_t m_pos = 0;
};

inline Value Parse(const std::string& text) { return Parser(text).Parse(); }

}  // namespace minijson

#endif  // NQOV_TESTS_MINIJSON_H
