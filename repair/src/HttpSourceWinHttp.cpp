// HttpSourceWinHttp.cpp - the HTTP/HTTPS source over WinHTTP (the Windows
// flavour): each connection is a WinHTTP session of its own, used
// asynchronously so that a stop or a stalled server is noticed while a
// transfer waits (a blocked synchronous call cannot be cut short
// everywhere).  The session keeps its connections to the server alive
// between ranges.  Certificates are verified with the system's store, or
// against the authorities of `caFile` in its place when one is given;
// proxies are the system's (WinHTTP's default configuration).
//
// Redirects are followed here, not by WinHTTP: up to five, never from https
// to http, and credentials of the address only go to its own host.

#include "HttpSource.h"

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <vector>

#include "CoreThreads.h"
#include "HttpAnswer.h"
#include "UrlText.h"
#include "fund/win/handle.h"
#include "fund/win/monitor.h"
#include "fund/win/text.h"
#include "fund/win/winhttp_handle.h"

namespace brevik {
namespace repair {

namespace {

using fund::win::unique_hinternet;

const DWORD kReceiveBuffer = 256 * 1024;
const int kMostRedirects = 5;
const auto kPoll = std::chrono::milliseconds(100);
// How long a closed request may take to say it is gone.
const auto kClosingWait = std::chrono::seconds(5);
const wchar_t kUserAgent[] = L"brevik-repair/1";

//-----------------------------------------------------------------------------
// Addresses

struct Target {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;  // with the query
    std::string user, password;

    bool SameOrigin(const Target& other) const {
        return secure == other.secure && port == other.port &&
               _wcsicmp(host.c_str(), other.host.c_str()) == 0;
    }
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX in a user name or password.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t n = 0; n < text.size(); ++n) {
        if (text[n] == '%' && n + 2 < text.size() && HexValue(text[n + 1]) >= 0 &&
            HexValue(text[n + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[n + 1]) * 16 + HexValue(text[n + 2]));
            n += 2;
        } else {
            out += text[n];
        }
    }
    return out;
}

bool Crack(const std::string& url, Target* target) {
    const std::wstring wide = fund::win::utf8_to_wide(url);
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwUserNameLength = parts.dwPasswordLength = parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    if (parts.dwHostNameLength == 0) return false;
    target->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    target->host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target->port = parts.nPort;
    target->path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) target->path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (target->path.empty()) target->path = L"/";
    // The fragment is not sent.
    target->path = target->path.substr(0, target->path.find(L'#'));
    if (parts.lpszUserName != nullptr) {
        target->user =
            PercentDecoded(fund::win::wide_to_utf8(std::wstring(parts.lpszUserName, parts.dwUserNameLength)));
    }
    if (parts.lpszPassword != nullptr) {
        target->password =
            PercentDecoded(fund::win::wide_to_utf8(std::wstring(parts.lpszPassword, parts.dwPasswordLength)));
    }
    return true;
}

// The address a Location header names, seen from `base`.
std::string Resolve(const std::string& base, const std::string& location) {
    if (location.find("://") != std::string::npos) return location;
    const size_t scheme = base.find("://");
    const size_t pathStart = base.find('/', scheme + 3);
    const std::string origin = base.substr(0, pathStart);
    if (!location.empty() && location[0] == '/') return origin + location;
    const std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    return origin + path.substr(0, path.find_last_of('/', path.find('?')) + 1) + location;
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string Base64(const std::string& text) {
    DWORD size = 0;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(text.size()), flags, nullptr, &size))
        return std::string();
    std::string out(size, '\0');
    if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(text.size()), flags, &out[0], &size))
        return std::string();
    out.resize(size);
    return out;
}

//-----------------------------------------------------------------------------
// Errors

struct ErrorName {
    DWORD code;
    const char* text;
    bool final;  // the source cannot give the range
};

const ErrorName kErrors[] = {
    {ERROR_WINHTTP_TIMEOUT, "timed out", false},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "the server's name does not resolve", false},
    {ERROR_WINHTTP_CANNOT_CONNECT, "cannot connect", false},
    {ERROR_WINHTTP_CONNECTION_ERROR, "the connection was reset", false},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "the answer cannot be read", false},
    {ERROR_WINHTTP_OPERATION_CANCELLED, "cancelled", false},
    {ERROR_WINHTTP_SECURE_FAILURE, "the server's certificate does not verify", true},
    // Wine reports every certificate that does not verify this way too.
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR,
     "no secure connection: the certificate or the TLS handshake is refused", true},
    {ERROR_WINHTTP_SECURE_INVALID_CA, "the server's certificate does not verify (unknown authority)", true},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, "the server's certificate does not verify (another name)", true},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, "the server's certificate does not verify (expired)", true},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, "the server asks for a client certificate", true},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "an address that is not http or https", true},
    {ERROR_WINHTTP_INVALID_URL, "an address that cannot be used", true},
};

std::string SecureFailureText(DWORD flags) {
    std::string text;
    const struct {
        DWORD flag;
        const char* text;
    } kinds[] = {{WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "unknown authority"},
                 {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "another name"},
                 {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "expired or not yet valid"},
                 {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "revoked"},
                 {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, "not for servers"}};
    for (const auto& kind : kinds) {
        if (flags & kind.flag) text += std::string(text.empty() ? "" : ", ") + kind.text;
    }
    return text;
}

//-----------------------------------------------------------------------------
// Private certificate authorities

struct StoreCloser {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
typedef std::unique_ptr<void, StoreCloser> StorePtr;

struct CertificateFreer {
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
typedef std::unique_ptr<const CERT_CONTEXT, CertificateFreer> CertificatePtr;

struct ChainFreer {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
typedef std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer> ChainPtr;

// The certificates of a PEM file, in a store in memory; null when it
// holds none.
StorePtr LoadAuthorities(const std::string& path, std::string* error) {
    const DWORD kMostBytes = 4u << 20;
    StorePtr store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    fund::win::unique_hfile file(CreateFileW(fund::win::utf8_to_wide(path).c_str(), GENERIC_READ,
                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                             nullptr));
    LARGE_INTEGER size = {};
    std::string text;
    if (store && file && GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
        size.QuadPart <= kMostBytes) {
        text.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) read = 0;
        text.resize(read);
    }
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    int count = 0;
    for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at + 1)) {
        const size_t end = text.find(kEnd, at);
        if (end == std::string::npos) break;
        const std::string block = text.substr(at, end + sizeof kEnd - 1 - at);
        DWORD bytes = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  nullptr, &bytes, nullptr, nullptr)) {
            continue;
        }
        std::vector<BYTE> der(bytes);
        if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                 der.data(), &bytes, nullptr, nullptr) &&
            CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), bytes,
                                             CERT_STORE_ADD_ALWAYS, nullptr)) {
            ++count;
        }
    }
    if (count == 0) {
        *error = "cannot read certificate authorities (PEM) from " + path;
        return nullptr;
    }
    return store;
}

// Whether the server's certificate leads to one of `authorities` (in place
// of the system's store: an authority the system does not know is
// forgiven, nothing else).
bool LeadsTo(PCCERT_CONTEXT server, HCERTSTORE authorities, std::string* why) {
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!CertGetCertificateChain(nullptr, server, nullptr, authorities, &para, 0, nullptr, &built)) {
        *why = "its chain cannot be built";
        return false;
    }
    ChainPtr chain(built);
    const DWORD forgiven = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                           CERT_TRUST_IS_OFFLINE_REVOCATION;
    if (chain->cChain == 0 || (chain->TrustStatus.dwErrorStatus & ~forgiven) != 0) {
        *why = "its chain does not verify";
        return false;
    }
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    CertificatePtr found(
        CertFindCertificateInStore(authorities, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr));
    if (!found) *why = "it is not from an authority of the CA file";
    return found != nullptr;
}

//-----------------------------------------------------------------------------
// What WinHTTP says of one request

// The callbacks of a request come on WinHTTP's threads, and may still come
// after the request was closed (under Wine, a read that waits for a silent
// server ends only when its receive time-out is over): each request has a
// mailbox of its own, kept by the connection and by the request until
// WinHTTP says the handle is gone.
class Mailbox {
public:
    Mailbox(HINTERNET handle, bool secure, std::shared_ptr<void> authorities)
        : m_authorities(std::move(authorities)) {
        call.handle = handle;
        call.secure = secure;
    }

    static void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                  DWORD length) {
        if (context != 0) reinterpret_cast<Mailbox*>(context)->Notify(handle, status, info, length);
    }

    // The request's own reference, from when it names this mailbox.
    void Adopt() { ++m_references; }
    void Release() {
        if (--m_references == 0) delete this;
    }

    struct Call {
        HINTERNET handle = nullptr;
        bool secure = false;         // https: with a CA file, its certificate is checked
        bool done = false;           // the step under way ended
        bool closed = false;         // WinHTTP let go of the handle
        bool closedByCheck = false;  // the certificate check closed the handle itself
        DWORD error = 0;
        DWORD bytes = 0;
        DWORD secureFlags = 0;
        std::string certificateProblem;
    };

    fund::win::monitor monitor;  // guards `call`
    Call call;

private:
    ~Mailbox() = default;
    void Notify(HINTERNET handle, DWORD status, LPVOID info, DWORD length);
    void CheckCertificate(HINTERNET handle);

    const std::shared_ptr<void> m_authorities;  // HCERTSTORE of a CA file, or null
    std::atomic<int> m_references{1};           // the connection's
};

void Mailbox::Notify(HINTERNET handle, DWORD status, LPVOID info, DWORD length) {
    if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST && m_authorities) CheckCertificate(handle);
    {
        fund::win::monitor_lock hold(monitor);
        switch (status) {
            case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
                if (info != nullptr) call.secureFlags = *static_cast<DWORD*>(info);
                return;
            case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
                call.closed = true;
                break;
            case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
                call.bytes = length;
                call.done = true;
                break;
            case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
                call.done = true;
                break;
            case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
                call.error = info != nullptr ? static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError
                                             : ERROR_WINHTTP_INTERNAL_ERROR;
                call.done = true;
                break;
            default:
                return;
        }
        monitor.notify_all();
    }
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) Release();  // the last word of the request
}

// With a CA file the system's store does not decide: the server's chain
// must lead to an authority of the file.  Checked when the connection is
// made, before the request (and any credential) goes out.
void Mailbox::CheckCertificate(HINTERNET handle) {
    {
        fund::win::monitor_lock hold(monitor);
        if (!call.secure) return;
    }
    PCCERT_CONTEXT server = nullptr;
    DWORD size = sizeof server;
    std::string why = "the server sent none";
    const bool sent =
        WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) && server;
    CertificatePtr owned(sent ? server : nullptr);
    if (sent && LeadsTo(server, m_authorities.get(), &why)) return;
    {
        fund::win::monitor_lock hold(monitor);
        call.certificateProblem = "the server's certificate does not verify: " + why;
        call.closedByCheck = true;
    }
    // Closed here, before the request goes out; the connection then lets go
    // of it without closing it again.
    WinHttpCloseHandle(handle);
}

//-----------------------------------------------------------------------------
// A connection

class WinHttpConnection : public SourceConnection {
public:
    WinHttpConnection(std::string url, std::string name, const SourceSettings& settings,
                      std::shared_ptr<void> authorities, unique_hinternet session,
                      const std::atomic<bool>& stop);
    ~WinHttpConnection() override;

    FetchResult Fetch(uint64_t position, uint64_t length, RangeReceiver& receiver,
                      const Expectation& expect) override;

private:
    enum class Step { kDone, kFailed, kStopped, kStalled };

    bool Connect(const Target& target);
    bool OpenRequest(const Target& target, uint64_t position, uint64_t length);
    Step Run(const std::function<BOOL()>& start);
    Mailbox::Call Said();
    void CloseRequest();
    FetchResult Failed(Step step, const std::string& what);
    FetchResult Ended(FetchStatus status, const std::string& message);
    DWORD StatusCode();
    std::string HeaderText(DWORD info, const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX);
    HttpHead Head();
    FetchResult ReadBody(const HttpHead& head, uint64_t answered, RangeReceiver& receiver,
                         FetchResult result);

    const std::string m_url;
    const std::string m_name;
    const SourceSettings m_settings;
    const std::shared_ptr<void> m_authorities;  // HCERTSTORE of caFile, or null
    const std::atomic<bool>& m_stop;
    Target m_origin;
    unique_hinternet m_session;
    unique_hinternet m_connect;
    Target m_connected;
    unique_hinternet m_request;
    Mailbox* m_mail = nullptr;        // the request's
    std::vector<Mailbox*> m_closing;  // of requests closed, not gone yet
    std::vector<uint8_t> m_buffer;
    Clock::time_point m_lastActivity{};
    std::string m_what;  // the request, for messages
};

WinHttpConnection::WinHttpConnection(std::string url, std::string name, const SourceSettings& settings,
                                     std::shared_ptr<void> authorities, unique_hinternet session,
                                     const std::atomic<bool>& stop)
    : m_url(std::move(url)),
      m_name(std::move(name)),
      m_settings(settings),
      m_authorities(std::move(authorities)),
      m_stop(stop),
      m_session(std::move(session)) {
    Crack(m_url, &m_origin);
}

WinHttpConnection::~WinHttpConnection() {
    CloseRequest();
    // Requests closed while WinHTTP was busy with them are waited for a
    // while: their callbacks run code of this module, which a DLL must not
    // lose under them (on Windows they are gone at once).
    const Clock::time_point until = Clock::now() + kClosingWait;
    for (Mailbox* mail : m_closing) {
        {
            fund::win::monitor_lock hold(mail->monitor);
            mail->monitor.wait_until(std::max(until, Clock::now()), [mail] { return mail->call.closed; });
        }
        mail->Release();
    }
    if (m_connect) WinHttpSetStatusCallback(m_connect.get(), nullptr, 0, 0);
    WinHttpSetStatusCallback(m_session.get(), nullptr, 0, 0);
}

bool WinHttpConnection::Connect(const Target& target) {
    if (m_connect && m_connected.SameOrigin(target)) return true;
    if (m_connect) WinHttpSetStatusCallback(m_connect.get(), nullptr, 0, 0);
    m_connect.reset(WinHttpConnect(m_session.get(), target.host.c_str(), target.port, 0));
    m_connected = target;
    return static_cast<bool>(m_connect);
}

bool WinHttpConnection::OpenRequest(const Target& target, uint64_t position, uint64_t length) {
    CloseRequest();
    if (!Connect(target)) return false;
    m_request.reset(WinHttpOpenRequest(m_connect.get(), L"GET", target.path.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!m_request) return false;
    m_mail = new Mailbox(m_request.get(), target.secure, m_authorities);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(m_mail);
    m_mail->Adopt();
    if (!WinHttpSetOption(m_request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        m_mail->Release();  // the request does not name it
        return false;
    }
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(m_request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects,
                          sizeof noRedirects)) {
        return false;
    }
    if (target.secure && m_authorities) {
        // The file's authorities are checked when the request is sent.
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!WinHttpSetOption(m_request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags))
            return false;
    }
    std::string headers =
        "Range: bytes=" + std::to_string(position) + "-" + std::to_string(position + length - 1);
    if (!m_origin.user.empty() && target.SameOrigin(m_origin)) {
        headers += "\r\nAuthorization: Basic " + Base64(m_origin.user + ":" + m_origin.password);
    }
    const std::wstring wide = fund::win::utf8_to_wide(headers);
    return WinHttpAddRequestHeaders(m_request.get(), wide.c_str(), static_cast<DWORD>(-1L),
                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE) != FALSE;
}

// Starts one asynchronous step and waits for its end, a stop, or a server
// that sends nothing for the stall time.
WinHttpConnection::Step WinHttpConnection::Run(const std::function<BOOL()>& start) {
    Mailbox& mail = *m_mail;
    {
        fund::win::monitor_lock hold(mail.monitor);
        mail.call.done = false;
        mail.call.error = 0;
        mail.call.bytes = 0;
    }
    if (!start()) {
        const DWORD error = GetLastError();
        fund::win::monitor_lock hold(mail.monitor);
        mail.call.error = error;
        return Step::kFailed;
    }
    const auto stall = std::chrono::seconds(std::max<uint32_t>(m_settings.stallSeconds, 1));
    for (;;) {
        {
            fund::win::monitor_lock hold(mail.monitor);
            mail.monitor.wait_for(kPoll, [&mail] { return mail.call.done || mail.call.closed; });
            if (mail.call.done) return mail.call.error == 0 ? Step::kDone : Step::kFailed;
            if (mail.call.closed) {
                if (mail.call.error == 0) mail.call.error = ERROR_WINHTTP_OPERATION_CANCELLED;
                return Step::kFailed;
            }
        }
        if (m_stop) return Step::kStopped;
        if (Clock::now() - m_lastActivity > stall) return Step::kStalled;
    }
}

Mailbox::Call WinHttpConnection::Said() {
    fund::win::monitor_lock hold(m_mail->monitor);
    return m_mail->call;
}

// Closes the request without waiting for WinHTTP to let go of it: a stop
// must not wait for a silent server.
void WinHttpConnection::CloseRequest() {
    if (m_request) {
        if (Said().closedByCheck) {
            m_request.release();  // the certificate check closed it
        } else {
            m_request.reset();
        }
    }
    if (m_mail != nullptr) m_closing.push_back(m_mail);
    m_mail = nullptr;
    // Those WinHTTP is done with are let go.
    std::vector<Mailbox*> busy;
    for (Mailbox* mail : m_closing) {
        bool closed;
        {
            fund::win::monitor_lock hold(mail->monitor);
            closed = mail->call.closed;
        }
        if (closed) {
            mail->Release();
        } else {
            busy.push_back(mail);
        }
    }
    m_closing.swap(busy);
}

FetchResult WinHttpConnection::Ended(FetchStatus status, const std::string& message) {
    CloseRequest();
    FetchResult result;
    result.status = status;
    result.message = message;
    return result;
}

FetchResult WinHttpConnection::Failed(Step step, const std::string& what) {
    if (step == Step::kStopped) return Ended(FetchStatus::kStopped, "stopped");
    if (step == Step::kStalled) {
        return Ended(FetchStatus::kRetry,
                     what + ": nothing received for " + std::to_string(m_settings.stallSeconds) + " s");
    }
    const Mailbox::Call said = Said();
    if (!said.certificateProblem.empty())
        return Ended(FetchStatus::kFailed, what + ": " + said.certificateProblem);
    if (m_stop) return Ended(FetchStatus::kStopped, "stopped");
    std::string text = "error " + std::to_string(said.error);
    bool final = false;
    for (const ErrorName& known : kErrors) {
        if (known.code != said.error) continue;
        text = known.text + std::string(" (WinHTTP error ") + std::to_string(said.error) + ")";
        final = known.final;
    }
    if (said.error == ERROR_WINHTTP_SECURE_FAILURE && said.secureFlags != 0) {
        text += ": " + SecureFailureText(said.secureFlags);
    }
    return Ended(final ? FetchStatus::kFailed : FetchStatus::kRetry, what + ": " + text);
}

DWORD WinHttpConnection::StatusCode() {
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(m_request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

std::string WinHttpConnection::HeaderText(DWORD info, const wchar_t* name) {
    DWORD size = 0;
    WinHttpQueryHeaders(m_request.get(), info, name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::string();
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(m_request.get(), info, name, &value[0], &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::string();
    }
    value.resize(size / sizeof(wchar_t));
    return fund::win::wide_to_utf8(value);
}

HttpHead WinHttpConnection::Head() {
    HttpHead head;
    head.status = static_cast<long>(StatusCode());
    head.contentRange = HeaderText(WINHTTP_QUERY_CUSTOM, L"Content-Range");
    head.contentType = HeaderText(WINHTTP_QUERY_CONTENT_TYPE);
    head.etag = HeaderText(WINHTTP_QUERY_ETAG);
    head.lastModified = HeaderText(WINHTTP_QUERY_LAST_MODIFIED);
    const std::string length = HeaderText(WINHTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty() && length.size() <= 18 &&
        length.find_first_not_of("0123456789") == std::string::npos) {
        head.contentLength = std::stoll(length);
    }
    const std::string retryAfter = HeaderText(WINHTTP_QUERY_RETRY_AFTER);
    if (!retryAfter.empty()) head.retryAfterMs = ParseRetryAfter(retryAfter, std::time(nullptr));
    return head;
}

FetchResult WinHttpConnection::Fetch(uint64_t position, uint64_t length, RangeReceiver& receiver,
                                     const Expectation& expect) {
    m_what = RequestText(m_name, position, length);
    if (length == 0) return Ended(FetchStatus::kFailed, m_name + ": an empty range");
    std::string url = m_url;
    for (int redirects = 0;; ++redirects) {
        if (m_stop) return Ended(FetchStatus::kStopped, "stopped");
        Target target;
        if (!Crack(url, &target))
            return Ended(FetchStatus::kFailed, m_what + ": an address that cannot be used");
        if (!OpenRequest(target, position, length)) {
            return Ended(FetchStatus::kRetry,
                         m_what + ": cannot make a request, error " + std::to_string(GetLastError()));
        }
        m_lastActivity = Clock::now();
        HINTERNET request = m_request.get();
        Mailbox* mail = m_mail;
        Step step = Run([request, mail] {
            return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                      0, reinterpret_cast<DWORD_PTR>(mail));
        });
        if (step == Step::kDone) step = Run([request] { return WinHttpReceiveResponse(request, nullptr); });
        if (step != Step::kDone) return Failed(step, m_what);
        const DWORD status = StatusCode();
        if (!IsRedirect(status)) break;
        const std::string location = HeaderText(WINHTTP_QUERY_LOCATION);
        if (location.empty()) break;  // judged below as the status it is
        if (redirects >= kMostRedirects) {
            return Ended(FetchStatus::kFailed,
                         m_what + ": too many redirects (more than " + std::to_string(kMostRedirects) + ")");
        }
        const std::string next = Resolve(url, location);
        Target nextTarget;
        if (target.secure && Crack(next, &nextTarget) && !nextTarget.secure) {
            return Ended(FetchStatus::kFailed, m_what + ": a redirect to " + RedactUrl(next) +
                                                   " refused (redirects never go from https to http)");
        }
        url = next;
    }
    const HttpHead head = Head();
    const HeadVerdict verdict = JudgeHead(head, m_name, position, length, expect);
    FetchResult result;
    result.fileSize = verdict.fileSize;
    result.validator = verdict.validator;
    if (!verdict.accepted) {
        FetchResult refused = Ended(verdict.status, verdict.message);
        refused.retryAfterMs = verdict.retryAfterMs;
        refused.fileSize = verdict.fileSize;
        refused.validator = verdict.validator;
        return refused;
    }
    return ReadBody(head, verdict.answered, receiver, result);
}

// The body, never more than the range: a server that sends more is refused.
FetchResult WinHttpConnection::ReadBody(const HttpHead& head, uint64_t answered, RangeReceiver& receiver,
                                        FetchResult result) {
    if (m_buffer.empty()) m_buffer.resize(kReceiveBuffer);
    HINTERNET request = m_request.get();
    const auto partial = [&result](FetchResult ended) {
        ended.received = result.received;
        return ended;
    };
    while (result.received < answered) {
        const DWORD ask = static_cast<DWORD>(std::min<uint64_t>(m_buffer.size(), answered - result.received));
        const Step step =
            Run([request, ask, this] { return WinHttpReadData(request, m_buffer.data(), ask, nullptr); });
        if (step != Step::kDone) return partial(Failed(step, m_what));
        const DWORD got = Said().bytes;
        if (got == 0) {
            return partial(Ended(FetchStatus::kRetry, m_what + ": the answer ended after " +
                                                          std::to_string(result.received) + " of " +
                                                          std::to_string(answered) + " bytes"));
        }
        m_lastActivity = Clock::now();
        if (!receiver.Receive(m_buffer.data(), got)) {
            return partial(Ended(m_stop ? FetchStatus::kStopped : FetchStatus::kRefused,
                                 m_stop ? "stopped" : "the bytes were refused"));
        }
        result.received += got;
    }
    if (head.contentLength < 0) {
        // No length was announced: the body must end here.
        const Step step =
            Run([request, this] { return WinHttpReadData(request, m_buffer.data(), 1, nullptr); });
        if (step == Step::kDone && Said().bytes > 0) {
            return partial(Ended(FetchStatus::kFailed, m_what + ": sends more bytes than asked for"));
        }
    }
    CloseRequest();
    return result;
}

//-----------------------------------------------------------------------------
// The source

class WinHttpSource : public PieceSource {
public:
    WinHttpSource(std::string url, SourceSettings settings)
        : m_url(std::move(url)), m_name(RedactUrl(m_url)), m_settings(std::move(settings)) {}

    std::string Name() const override { return m_name; }

    std::unique_ptr<SourceConnection> Connect(const std::atomic<bool>& stop, std::string* error) override {
        Target target;
        if (!Crack(m_url, &target)) {
            *error = m_name + ": an address that cannot be used";
            return nullptr;
        }
        std::shared_ptr<void> authorities;
        if (!m_settings.caFile.empty()) {
            StorePtr store = LoadAuthorities(m_settings.caFile, error);
            if (!store) return nullptr;
            authorities.reset(store.release(), StoreCloser());
        }
        unique_hinternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                             WINHTTP_FLAG_ASYNC));
        const DWORD notifications = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                                    WINHTTP_CALLBACK_FLAG_SECURE_FAILURE | WINHTTP_CALLBACK_FLAG_SEND_REQUEST;
        const int connectMs = static_cast<int>(std::max<uint32_t>(m_settings.connectSeconds, 1) * 1000);
        const int stallMs = static_cast<int>(std::max<uint32_t>(m_settings.stallSeconds, 1) * 1000);
        if (!session ||
            WinHttpSetStatusCallback(session.get(), &Mailbox::OnStatus, notifications, 0) ==
                WINHTTP_INVALID_STATUS_CALLBACK ||
            !WinHttpSetTimeouts(session.get(), connectMs, connectMs, stallMs, stallMs)) {
            *error = m_name + ": WinHTTP cannot make a session, error " + std::to_string(GetLastError());
            return nullptr;
        }
        return std::unique_ptr<SourceConnection>(
            new WinHttpConnection(m_url, m_name, m_settings, authorities, std::move(session), stop));
    }

private:
    const std::string m_url;
    const std::string m_name;
    const SourceSettings m_settings;
};

}  // namespace

std::unique_ptr<PieceSource> MakeHttpSource(const std::string& url, const SourceSettings& settings) {
    return std::unique_ptr<PieceSource>(new WinHttpSource(url, settings));
}

}  // namespace repair
}  // namespace brevik
