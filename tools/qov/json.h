// json.h - the small JSON writer behind the --json outputs.

#ifndef QOV_JSON_H
#define QOV_JSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qov {

// TEXT as a JSON string literal, quotes included.  Valid UTF-8 passes
// through; quotes, backslashes and control characters are escaped; bytes
// that are not valid UTF-8 become U+FFFD, so the output is always valid JSON.
std::string JsonString(const std::string& text);

// BYTES as lower-case hex digits.
std::string HexDigits(const uint8_t* bytes, size_t count);

// Builds one JSON value on a single line, in the form
// {"key": value, "list": [1, 2]}.  Commas are placed automatically.
class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const std::string& key);
    JsonWriter& String(const std::string& value);
    JsonWriter& Number(uint64_t value);
    JsonWriter& Bool(bool value);
    // Inserts an already formed JSON value.
    JsonWriter& Raw(const std::string& json);

    const std::string& Text() const { return text_; }

private:
    void BeforeValue();

    std::string text_;
    std::vector<bool> first_;  // per open container: no element written yet
    bool afterKey_ = false;
};

}  // namespace qov

#endif  // QOV_JSON_H
