// HttpAnswer.cpp - the head of an answer judged.

#include "HttpAnswer.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "ContentRange.h"

namespace brevik {
namespace repair {

namespace {

bool RetryableStatus(long code) {
    return code == 408 || code == 429 || code == 500 || code == 502 || code == 503 || code == 504;
}

HeadVerdict Refused(FetchStatus status, const std::string& message) {
    HeadVerdict verdict;
    verdict.status = status;
    verdict.message = message;
    return verdict;
}

HeadVerdict JudgeStatus(const HttpHead& head, const std::string& name, const std::string& what) {
    const std::string status = "HTTP " + std::to_string(head.status);
    if (head.status == 200) {
        return Refused(
            FetchStatus::kFailed,
            name + " answers a range request with 200 and the whole file: the server does not serve ranges");
    }
    if (!RetryableStatus(head.status)) return Refused(FetchStatus::kFailed, what + ": " + status);
    HeadVerdict verdict = Refused(FetchStatus::kRetry, what + ": " + status);
    if (head.retryAfterMs >= 0) verdict.retryAfterMs = std::min<int64_t>(head.retryAfterMs, 86400 * 1000LL);
    return verdict;
}

std::string Range(uint64_t position, uint64_t length) {
    return std::to_string(position) + "-" + std::to_string(position + length - 1);
}

// The number at `text`, of `digits` digits; -1 when not.
int Digits(const char* text, size_t digits) {
    int value = 0;
    for (size_t n = 0; n < digits; ++n) {
        if (!std::isdigit(static_cast<unsigned char>(text[n]))) return -1;
        value = value * 10 + (text[n] - '0');
    }
    return value;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970; -1 when not one.
int64_t ParseHttpDate(const std::string& text) {
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (text.size() != 29 || text.compare(3, 2, ", ") != 0 || text.compare(25, 4, " GMT") != 0) return -1;
    const char* at = text.c_str() + 5;  // "06 Nov 1994 08:49:37"
    const int day = Digits(at, 2), year = Digits(at + 7, 4);
    const int hour = Digits(at + 12, 2), minute = Digits(at + 15, 2), second = Digits(at + 18, 2);
    const char* month = std::strstr(kMonths, std::string(at + 3, 3).c_str());
    if (day < 1 || day > 31 || year < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
        second > 60 || month == nullptr || (month - kMonths) % 3 != 0 || at[2] != ' ' || at[6] != ' ' ||
        at[11] != ' ' || at[14] != ':' || at[17] != ':') {
        return -1;
    }
    const int monthNumber = static_cast<int>((month - kMonths) / 3) + 1;
    return DaysFromCivil(year, monthNumber, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

std::string RequestText(const std::string& name, uint64_t position, uint64_t length) {
    return name + " (bytes " + Range(position, length) + ")";
}

HeadVerdict JudgeHead(const HttpHead& head, const std::string& name, uint64_t position, uint64_t length,
                      const Expectation& expect) {
    const std::string what = RequestText(name, position, length);
    if (head.status != 206) return JudgeStatus(head, name, what);
    ContentRange range;
    if (!ParseContentRange(head.contentRange, &range)) {
        return Refused(FetchStatus::kFailed,
                       what + ": 206 with an unusable Content-Range '" + head.contentRange + "'");
    }
    if (!AnswersRequest(range, position, length)) {
        return Refused(FetchStatus::kFailed, what + ": answered with bytes " +
                                                 Range(range.first, range.last - range.first + 1) + " of " +
                                                 std::to_string(range.total));
    }
    if (head.contentType.find("multipart/") != std::string::npos) {
        return Refused(FetchStatus::kFailed, what + ": answered with several ranges");
    }
    HeadVerdict verdict;
    verdict.answered = range.last - range.first + 1;
    if (head.contentLength >= 0 && static_cast<uint64_t>(head.contentLength) != verdict.answered) {
        return Refused(FetchStatus::kFailed, what + ": announces " + std::to_string(head.contentLength) +
                                                 " bytes for a range of " + std::to_string(verdict.answered));
    }
    verdict.fileSize = range.total;
    verdict.validator =
        head.etag.empty() && head.lastModified.empty() ? std::string() : head.etag + "; " + head.lastModified;
    if (expect.fileSize != 0 && range.total != expect.fileSize) {
        HeadVerdict changed =
            Refused(FetchStatus::kChanged, name + " changed: it now has " + std::to_string(range.total) +
                                               " bytes, not " + std::to_string(expect.fileSize));
        changed.fileSize = range.total;
        return changed;
    }
    if (!expect.validator.empty() && verdict.validator != expect.validator) {
        return Refused(FetchStatus::kChanged, name + " changed: ETag and Last-Modified are now '" +
                                                  verdict.validator + "', not '" + expect.validator + "'");
    }
    verdict.accepted = true;
    return verdict;
}

int64_t ParseRetryAfter(const std::string& text, std::time_t now) {
    if (!text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos) {
        return std::stoll(text) * 1000;
    }
    const int64_t at = ParseHttpDate(text);
    if (at < 0) return -1;
    return at > static_cast<int64_t>(now) ? (at - static_cast<int64_t>(now)) * 1000 : 0;
}

}  // namespace repair
}  // namespace brevik
