// xml_depth.cpp - the nesting of XML elements on the raw text.

#include "fund/xml_depth.h"

namespace fund {

namespace {

// The position just after `end` from `from` on, or the text's size.
size_t After(std::string_view text, size_t from, std::string_view end) {
    const size_t at = text.find(end, from);
    return at == std::string_view::npos ? text.size() : at + end.size();
}

// The position of the '>' that closes a tag opened before `from`, with
// quoted attribute values skipped; the text's size when there is none.
size_t TagEnd(std::string_view text, size_t from) {
    char quote = 0;
    for (size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return text.size();
}

// A declaration (<!DOCTYPE ...>) may hold an internal subset in brackets,
// with '>' inside.
size_t DeclarationEnd(std::string_view text, size_t from) {
    int brackets = 0;
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == '[') ++brackets;
        if (text[i] == ']' && brackets > 0) --brackets;
        if (text[i] == '>' && brackets == 0) return i + 1;
    }
    return text.size();
}

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
    return text.compare(at, prefix.size(), prefix) == 0;
}

}  // namespace

size_t xml_nesting_depth(std::string_view text, size_t limit) {
    size_t depth = 0;
    size_t deepest = 0;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find('<', i);
        if (open == std::string_view::npos) break;
        if (StartsWith(text, open, "<!--")) {
            i = After(text, open + 4, "-->");
        } else if (StartsWith(text, open, "<![CDATA[")) {
            i = After(text, open + 9, "]]>");
        } else if (StartsWith(text, open, "<?")) {
            i = After(text, open + 2, "?>");
        } else if (StartsWith(text, open, "<!")) {
            i = DeclarationEnd(text, open + 2);
        } else if (StartsWith(text, open, "</")) {
            if (depth > 0) --depth;
            i = TagEnd(text, open + 2) + 1;
        } else {
            const size_t end = TagEnd(text, open + 1);
            const bool empty = end < text.size() && end > open + 1 && text[end - 1] == '/';
            if (!empty && ++depth > deepest) {
                deepest = depth;
                if (deepest > limit) return limit + 1;
            }
            i = end + 1;
        }
    }
    return deepest;
}

}  // namespace fund
