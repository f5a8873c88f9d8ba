// HttpSourceCurl.cpp - the HTTP/HTTPS source over libcurl's easy interface:
// each connection is one easy handle, reused for every range so that its
// connection to the server stays open.  libcurl takes proxies from the
// usual environment variables and verifies certificates with the system's
// store (or the given CA file).

#include "HttpSource.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include <curl/curl.h>

#include "HttpAnswer.h"
#include "UrlText.h"

namespace brevik {
namespace repair {

namespace {

// libcurl's receive buffer: large reads keep the per-call overhead low.
const long kReceiveBuffer = 256 * 1024;
const long kMostRedirects = 5;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
typedef std::unique_ptr<CURL, EasyCleanup> EasyPtr;

bool StartsWithHttps(const std::string& url) {
    static const char kHttps[] = "https://";
    if (url.size() < sizeof(kHttps) - 1) return false;
    for (size_t n = 0; n + 1 < sizeof(kHttps); ++n) {
        if (std::tolower(static_cast<unsigned char>(url[n])) != kHttps[n]) return false;
    }
    return true;
}

std::string Range(uint64_t position, uint64_t length) {
    return std::to_string(position) + "-" + std::to_string(position + length - 1);
}

bool RetryableCurlError(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_LOGIN_DENIED:
        case CURLE_NOT_BUILT_IN:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_FILESIZE_EXCEEDED:
            return false;
        default:
            return true;
    }
}

class HttpConnection : public SourceConnection {
public:
    HttpConnection(const std::string& url, const std::string& name, const SourceSettings& settings,
                   EasyPtr easy, const std::atomic<bool>& stop);

    FetchResult Fetch(uint64_t position, uint64_t length, RangeReceiver& receiver,
                      const Expectation& expect) override;

private:
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    size_t Body(const uint8_t* data, size_t size);
    bool CheckAnswer();
    void Decide(FetchStatus status, const std::string& message);
    HttpHead Head();
    FetchResult Finish(CURLcode code);
    std::string Header(const char* name);
    std::string What() const { return RequestText(m_name, m_position, m_length); }

    const std::string m_name;
    EasyPtr m_easy;
    const std::atomic<bool>& m_stop;
    char m_errorText[CURL_ERROR_SIZE] = {};

    // The transfer under way.
    uint64_t m_position = 0;
    uint64_t m_length = 0;
    uint64_t m_answered = 0;  // bytes the answer carries
    RangeReceiver* m_receiver = nullptr;
    const Expectation* m_expect = nullptr;
    bool m_answerChecked = false;
    bool m_decided = false;
    FetchResult m_result;
};

HttpConnection::HttpConnection(const std::string& url, const std::string& name,
                               const SourceSettings& settings, EasyPtr easy, const std::atomic<bool>& stop)
    : m_name(name), m_easy(std::move(easy)), m_stop(stop) {
    CURL* e = m_easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMostRedirects);
    // Never from https down to http.
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, StartsWithHttps(url) ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &HttpConnection::OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &HttpConnection::OnProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_errorText);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.connectSeconds));
    // A transfer that receives nothing for this long is abandoned.
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(std::max<uint32_t>(settings.stallSeconds, 1)));
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "brevik-repair/1");
    if (!settings.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, settings.caFile.c_str());
}

std::string HttpConnection::Header(const char* name) {
    struct curl_header* header = nullptr;
    if (curl_easy_header(m_easy.get(), name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
        header == nullptr) {
        return std::string();
    }
    return header->value != nullptr ? std::string(header->value) : std::string();
}

void HttpConnection::Decide(FetchStatus status, const std::string& message) {
    if (m_decided) return;
    m_decided = true;
    m_result.status = status;
    m_result.message = message;
}

HttpHead HttpConnection::Head() {
    HttpHead head;
    curl_easy_getinfo(m_easy.get(), CURLINFO_RESPONSE_CODE, &head.status);
    head.contentRange = Header("Content-Range");
    head.contentType = Header("Content-Type");
    head.etag = Header("ETag");
    head.lastModified = Header("Last-Modified");
    curl_off_t declared = -1;
    curl_easy_getinfo(m_easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
    head.contentLength = declared;
    curl_off_t seconds = -1;
    if (!Header("Retry-After").empty() &&
        curl_easy_getinfo(m_easy.get(), CURLINFO_RETRY_AFTER, &seconds) == CURLE_OK && seconds >= 0) {
        head.retryAfterMs = static_cast<int64_t>(std::min<curl_off_t>(seconds, 86400)) * 1000;
    }
    return head;
}

// The answer's status and headers, once, before its first byte is taken.
bool HttpConnection::CheckAnswer() {
    m_answerChecked = true;
    const HeadVerdict verdict = JudgeHead(Head(), m_name, m_position, m_length, *m_expect);
    m_result.fileSize = verdict.fileSize;
    m_result.validator = verdict.validator;
    if (!verdict.accepted) {
        Decide(verdict.status, verdict.message);
        m_result.retryAfterMs = verdict.retryAfterMs;
        return false;
    }
    m_answered = verdict.answered;
    return true;
}

size_t HttpConnection::OnBody(char* data, size_t size, size_t count, void* self) {
    return static_cast<HttpConnection*>(self)->Body(reinterpret_cast<const uint8_t*>(data), size * count);
}

size_t HttpConnection::Body(const uint8_t* data, size_t size) {
    if (!m_answerChecked && !CheckAnswer()) return 0;
    if (m_stop) {
        Decide(FetchStatus::kStopped, "stopped");
        return 0;
    }
    if (size > m_answered - m_result.received) {
        Decide(FetchStatus::kFailed, What() + ": sends more bytes than asked for");
        return 0;
    }
    if (!m_receiver->Receive(data, size)) {
        Decide(m_stop ? FetchStatus::kStopped : FetchStatus::kRefused, "the bytes were refused");
        return 0;
    }
    m_result.received += size;
    return size;
}

int HttpConnection::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<HttpConnection*>(self)->m_stop ? 1 : 0;
}

FetchResult HttpConnection::Fetch(uint64_t position, uint64_t length, RangeReceiver& receiver,
                                  const Expectation& expect) {
    m_position = position;
    m_length = length;
    m_answered = 0;
    m_receiver = &receiver;
    m_expect = &expect;
    m_answerChecked = false;
    m_decided = false;
    m_result = FetchResult();
    m_errorText[0] = '\0';
    if (length == 0) {
        Decide(FetchStatus::kFailed, m_name + ": an empty range");
        return m_result;
    }
    if (m_stop) {
        Decide(FetchStatus::kStopped, "stopped");
        return m_result;
    }
    const std::string range = Range(position, length);
    curl_easy_setopt(m_easy.get(), CURLOPT_RANGE, range.c_str());
    return Finish(curl_easy_perform(m_easy.get()));
}

FetchResult HttpConnection::Finish(CURLcode code) {
    if (m_decided) return m_result;
    if (code == CURLE_ABORTED_BY_CALLBACK || m_stop) {
        Decide(FetchStatus::kStopped, "stopped");
    } else if (code == CURLE_OK) {
        // An answer without a body has not been looked at yet.
        if (!m_answerChecked && !CheckAnswer()) return m_result;
        if (m_result.received < m_answered) {
            Decide(FetchStatus::kRetry, What() + ": the answer ended after " +
                                            std::to_string(m_result.received) + " of " +
                                            std::to_string(m_answered) + " bytes");
        }
    } else {
        std::string reason = m_errorText[0] != '\0' ? std::string(m_errorText) : curl_easy_strerror(code);
        if (code == CURLE_UNSUPPORTED_PROTOCOL) reason += " (redirects never go from https to http)";
        Decide(RetryableCurlError(code) ? FetchStatus::kRetry : FetchStatus::kFailed, What() + ": " + reason);
    }
    return m_result;
}

class HttpSource : public PieceSource {
public:
    HttpSource(std::string url, SourceSettings settings)
        : m_url(std::move(url)), m_name(RedactUrl(m_url)), m_settings(std::move(settings)) {}

    std::string Name() const override { return m_name; }

    std::unique_ptr<SourceConnection> Connect(const std::atomic<bool>& stop, std::string* error) override {
        InitCurlOnce();
        EasyPtr easy(curl_easy_init());
        if (!easy) {
            *error = m_name + ": libcurl cannot make a connection";
            return nullptr;
        }
        return std::unique_ptr<SourceConnection>(
            new HttpConnection(m_url, m_name, m_settings, std::move(easy), stop));
    }

private:
    const std::string m_url;
    const std::string m_name;
    const SourceSettings m_settings;
};

}  // namespace

std::unique_ptr<PieceSource> MakeHttpSource(const std::string& url, const SourceSettings& settings) {
    return std::unique_ptr<PieceSource>(new HttpSource(url, settings));
}

}  // namespace repair
}  // namespace brevik
