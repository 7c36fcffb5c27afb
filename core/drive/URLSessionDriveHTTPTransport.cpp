#include "core/drive/URLSessionDriveHTTPTransport.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/common/Cancellation.h"
#include "core/common/ScopeExit.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane {
namespace {

using Kind = TransportError::Kind;

struct EasyHandleDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

struct HeaderListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

void initialiseLibcurl() {
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK) {
        throw TransportError(Kind::other, std::string("libcurl: ") + curl_easy_strerror(code));
    }
}

// A libcurl handle serves one thread at a time; keeping one per thread lets each worker reuse its
// open connections and TLS sessions from one request to the next.
CURL* threadHandle() {
    thread_local EasyHandle handle;
    if (!handle) {
        handle.reset(curl_easy_init());
        if (!handle) {
            throw TransportError(Kind::other, "libcurl could not create a handle");
        }
    }
    return handle.get();
}

void check(CURLcode code, const char* option) {
    if (code != CURLE_OK) {
        throw TransportError(
            Kind::other, std::string("libcurl option ") + option + ": " + curl_easy_strerror(code));
    }
}

// What the callbacks of one exchange share with send().
struct Exchange {
    std::stop_token stop;
    bool loopbackOnly = false;
    std::size_t maxBody = 0;

    DriveHTTPResponse response;
    // After the blank line that ends a header block only a new status line counts: what follows
    // a final response's header block are trailers.
    bool headerBlockEnded = false;
    std::string lastHeaderName;

    bool cancelled = false;
    bool bodyTooLarge = false;
    std::optional<std::string> refusedPeer;
    std::exception_ptr failure;
};

constexpr bool isTokenCharacter(char c) noexcept {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) noexcept {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

bool hasLineBreakOrNul(std::string_view text) noexcept {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Methods whose request may be sent twice with the effect of sending it once.
bool isIdempotent(std::string_view method) noexcept {
    return method == "GET" || method == "HEAD" || method == "PUT" || method == "DELETE" ||
           method == "OPTIONS" || method == "TRACE";
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && headerNamesEqual(text.substr(0, prefix.size()), prefix);
}

void addHeaderField(Exchange& exchange, std::string_view line) {
    auto& headers = exchange.response.headers;
    if (line.front() == ' ' || line.front() == '\t') {
        // An obsolete folded line continues the previous field.
        if (const auto field = headers.find(exchange.lastHeaderName); field != headers.end()) {
            field->second += ' ';
            field->second += trimmed(line);
        }
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
        return;
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    // Repeated fields become one, in the order received, under the name first seen.
    for (auto& [existing, joined] : headers) {
        if (headerNamesEqual(existing, name)) {
            joined += ", ";
            joined += value;
            exchange.lastHeaderName = existing;
            return;
        }
    }
    exchange.lastHeaderName = std::string(name);
    headers.emplace(std::string(name), std::string(value));
}

// Every callback is noexcept: an exception must never unwind through libcurl. A failure is kept
// and rethrown once libcurl has returned.
std::size_t receiveHeader(char* data, std::size_t size, std::size_t count, void* context) noexcept {
    auto& exchange = *static_cast<Exchange*>(context);
    const std::size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    try {
        if (line.starts_with("HTTP/")) {
            // A new status line: interim answers, and a proxy's answer to CONNECT, are not the
            // response.
            exchange.response.headers.clear();
            exchange.lastHeaderName.clear();
            exchange.headerBlockEnded = false;
        } else if (line.empty()) {
            exchange.headerBlockEnded = true;
        } else if (!exchange.headerBlockEnded) {
            addHeaderField(exchange, line);
        }
    } catch (...) {
        exchange.failure = std::current_exception();
        return 0;
    }
    return length;
}

std::size_t receiveBody(char* data, std::size_t size, std::size_t count, void* context) noexcept {
    auto& exchange = *static_cast<Exchange*>(context);
    const std::size_t length = size * count;
    std::string& body = exchange.response.body;
    if (length > exchange.maxBody - body.size()) {
        exchange.bodyTooLarge = true;
        return 0;
    }
    try {
        body.append(data, length);
    } catch (...) {
        exchange.failure = std::current_exception();
        return 0;
    }
    return length;
}

// libcurl calls this at least once a second while a transfer lasts, idle or not: that bounds how
// long a requested stop waits.
int checkStop(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    auto& exchange = *static_cast<Exchange*>(context);
    if (exchange.stop.stop_requested()) {
        exchange.cancelled = true;
        return 1;
    }
    return 0;
}

bool isLoopback(const curl_sockaddr& address) noexcept {
    if (address.family == AF_INET && address.addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, &address.addr, sizeof in);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.family == AF_INET6 && address.addrlen >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &address.addr, sizeof in6);
        if (IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr) && in6.sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

std::string addressText(const curl_sockaddr& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.family == AF_INET && address.addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, &address.addr, sizeof in);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    } else if (address.family == AF_INET6 && address.addrlen >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &address.addr, sizeof in6);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return text[0] != '\0' ? std::string(text)
                           : "an address of family " + std::to_string(address.family);
}

// Opens every socket of the transport: close-on-exec, and for a loopback-only transport refused
// before a single byte, the bearer token included, could leave for another machine.
curl_socket_t openSocket(void* context, curlsocktype purpose, curl_sockaddr* address) noexcept {
    auto& exchange = *static_cast<Exchange*>(context);
    if (purpose != CURLSOCKTYPE_IPCXN) {
        return CURL_SOCKET_BAD;
    }
    if (exchange.loopbackOnly && !isLoopback(*address)) {
        try {
            exchange.refusedPeer =
                "refused to connect to " + addressText(*address) + ": not a loopback address";
        } catch (...) {
            exchange.failure = std::current_exception();
        }
        return CURL_SOCKET_BAD;
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

void appendHeader(HeaderList& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr) {
        throw std::bad_alloc();
    }
    static_cast<void>(list.release());
    list.reset(extended);
}

HeaderList requestHeaders(const DriveHTTPRequest& request) {
    HeaderList list;
    bool contentTypeSet = false;
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name) || hasLineBreakOrNul(value)) {
            // A line break would let a value (a token from elsewhere, say) add header fields.
            throw TransportError(Kind::other, "malformed header field \"" + name + "\"");
        }
        // The length is the body's and is set from it; waiting for a "100 Continue" would only
        // cost a round trip per chunk.
        if (headerNamesEqual(name, "Content-Length") || headerNamesEqual(name, "Expect")) {
            continue;
        }
        contentTypeSet = contentTypeSet || headerNamesEqual(name, "Content-Type");
        // "Name:" with nothing after it would tell libcurl to drop the field; "Name;" sends it
        // empty.
        appendHeader(list, value.empty() ? name + ";" : name + ": " + value);
    }
    appendHeader(list, "Expect:");
    if (!contentTypeSet) {
        // Without this a request with a body would be labelled a submitted form.
        appendHeader(list, "Content-Type:");
    }
    return list;
}

[[noreturn]] void throwFailure(CURLcode code, const Exchange& exchange, const char* errorText,
                               std::size_t maxBody) {
    if (exchange.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        throw TransportError(Kind::other,
                             "response body larger than " + std::to_string(maxBody) + " bytes");
    }
    if (exchange.refusedPeer && code == CURLE_COULDNT_CONNECT) {
        throw TransportError(Kind::cannotConnect, *exchange.refusedPeer);
    }
    const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
    switch (code) {
        // The scheme was checked before the exchange: this is an HTTP/0.9 answer, which is no
        // HTTP response at all.
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_WEIRD_SERVER_REPLY:
            throw DriveTransferError::invalidResponse();
        case CURLE_URL_MALFORMAT:
            throw TransportError(Kind::badURL, detail);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            throw TransportError(Kind::cannotFindHost, detail);
        case CURLE_COULDNT_CONNECT:
            throw TransportError(Kind::cannotConnect, detail);
        case CURLE_OPERATION_TIMEDOUT:
            throw TransportError(Kind::timedOut, detail);
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            throw TransportError(Kind::secureConnectionFailed, detail);
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
            throw TransportError(Kind::connectionLost, detail);
        default:
            throw TransportError(Kind::other, detail);
    }
}

}  // namespace

URLSessionDriveHTTPTransport::URLSessionDriveHTTPTransport()
    : URLSessionDriveHTTPTransport(Options{}) {}

URLSessionDriveHTTPTransport::URLSessionDriveHTTPTransport(Options options)
    : options_(std::move(options)) {
    // A private trust store is for a server on this machine; it must never stand in for the
    // system's authorities on the way to a real host.
    if (!options_.trustedCertificatesPEM.empty() && !options_.loopbackOnly) {
        throw std::invalid_argument("trusted certificates are only for loopback servers");
    }
    if (options_.maxResponseBytes == 0) {
        throw std::invalid_argument("the response limit must be positive");
    }
    initialiseLibcurl();
}

DriveHTTPResponse URLSessionDriveHTTPTransport::send(const DriveHTTPRequest& request,
                                                     std::stop_token stop) {
    throwIfCancelled(nullptr, stop);
    // libcurl would refuse other schemes too; refusing them here keeps its "unsupported
    // protocol" for what it also means, an answer that is not HTTP.
    if (!startsWithIgnoringCase(request.url, "https://")) {
        throw TransportError(Kind::badURL, "only https URLs are fetched");
    }
    if (!isToken(request.method)) {
        throw TransportError(Kind::other, "malformed method \"" + request.method + "\"");
    }
    const HeaderList headers = requestHeaders(request);

    CURL* handle = threadHandle();
    // Options point at the request and at this exchange's state; none may outlive the call. A
    // reset keeps the handle's connection cache.
    const ScopeExit reset([handle] { curl_easy_reset(handle); });
    Exchange exchange;
    exchange.stop = stop;
    exchange.loopbackOnly = options_.loopbackOnly;
    exchange.maxBody = options_.maxResponseBytes;
    char errorText[CURL_ERROR_SIZE] = {};

    check(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText), "ERRORBUFFER");
    check(curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str()), "URL");
    check(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https"), "PROTOCOLS_STR");
    check(curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https"), "REDIR_PROTOCOLS_STR");
    // A redirect is answered to the caller: following it would carry the bearer token to
    // whatever host the "Location" names.
    check(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L), "FOLLOWLOCATION");
    check(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L), "NOSIGNAL");
    check(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L), "SSL_VERIFYPEER");
    check(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L), "SSL_VERIFYHOST");
    check(curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)),
          "SSLVERSION");
    if (!options_.trustedCertificatesPEM.empty()) {
        curl_blob blob{};
        blob.data = const_cast<char*>(options_.trustedCertificatesPEM.data());
        blob.len = options_.trustedCertificatesPEM.size();
        blob.flags = CURL_BLOB_COPY;
        check(curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob), "CAINFO_BLOB");
        check(curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr), "CAINFO");
        check(curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr), "CAPATH");
    }
    if (options_.loopbackOnly) {
        // An empty proxy overrides the environment's: the peer must be the loopback server.
        check(curl_easy_setopt(handle, CURLOPT_PROXY, ""), "PROXY");
    }

    // Idle limits only: a large chunk on a slow link may take far longer than the timeout as a
    // whole, and is fine as long as bytes keep moving.
    const long timeoutMilliseconds = std::max<long>(static_cast<long>(request.timeout.count()), 1);
    const long idleSeconds = std::max<long>((timeoutMilliseconds + 999) / 1000, 1);
    check(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds),
          "CONNECTTIMEOUT_MS");
    check(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L), "LOW_SPEED_LIMIT");
    check(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, idleSeconds), "LOW_SPEED_TIME");

    if (request.method == "HEAD") {
        check(curl_easy_setopt(handle, CURLOPT_NOBODY, 1L), "NOBODY");
    } else if (request.method == "GET" && request.body.empty()) {
        check(curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L), "HTTPGET");
    } else {
        // Also for an empty body, so that it goes out with "Content-Length: 0".
        check(curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data()), "POSTFIELDS");
        check(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                               static_cast<curl_off_t>(request.body.size())),
              "POSTFIELDSIZE_LARGE");
        check(curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str()),
              "CUSTOMREQUEST");
    }
    check(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()), "HTTPHEADER");
    if (!isIdempotent(request.method)) {
        // libcurl sends a request again on a new connection when a reused one closes without a
        // byte of answer, yet the server may well have carried it out before it closed: a POST
        // would then create its folder, session or permission twice. On a connection of its own,
        // opened for it and closed after it, a lost answer is the error it is.
        check(curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L), "FRESH_CONNECT");
        check(curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L), "FORBID_REUSE");
    }

    check(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, receiveHeader), "HEADERFUNCTION");
    check(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange), "HEADERDATA");
    check(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receiveBody), "WRITEFUNCTION");
    check(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange), "WRITEDATA");
    check(curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                           static_cast<curl_off_t>(options_.maxResponseBytes)),
          "MAXFILESIZE_LARGE");
    check(curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, checkStop), "XFERINFOFUNCTION");
    check(curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &exchange), "XFERINFODATA");
    check(curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L), "NOPROGRESS");
    check(curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, openSocket), "OPENSOCKETFUNCTION");
    check(curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &exchange), "OPENSOCKETDATA");

    const CURLcode code = curl_easy_perform(handle);
    if (exchange.failure) {
        std::rethrow_exception(exchange.failure);
    }
    if (exchange.cancelled) {
        throw OperationCancelled();
    }
    if (code != CURLE_OK) {
        throwFailure(code, exchange, errorText, options_.maxResponseBytes);
    }
    long status = 0;
    check(curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status), "RESPONSE_CODE");
    if (status < 100 || status > 999) {
        throw DriveTransferError::invalidResponse();
    }
    exchange.response.status = static_cast<int>(status);
    return std::move(exchange.response);
}

}  // namespace tolvane
