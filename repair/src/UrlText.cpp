// UrlText.cpp - redacted addresses.

#include "UrlText.h"

#include <cctype>

namespace brevik {
namespace repair {

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = 0;
    for (; prefix[n] != '\0'; ++n) {
        if (n >= text.size() || std::tolower(static_cast<unsigned char>(text[n])) != prefix[n]) return false;
    }
    return true;
}

}  // namespace

bool IsHttpUrl(const std::string& location) {
    return StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "https://");
}

std::string RedactUrl(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const size_t authorityStart = scheme + 3;
    size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string::npos) authorityEnd = url.size();
    std::string out = url.substr(0, authorityStart);
    const std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);
    const size_t at = authority.rfind('@');
    out += at == std::string::npos ? authority : authority.substr(at + 1);
    const size_t rest = url.find_first_of("?#", authorityEnd);
    out += url.substr(authorityEnd, (rest == std::string::npos ? url.size() : rest) - authorityEnd);
    if (rest != std::string::npos && url[rest] == '?') out += "?...";
    return out;
}

}  // namespace repair
}  // namespace brevik
