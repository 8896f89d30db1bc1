#include "pollwick/Downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "pollwick/Winutils_pollwick.h"
#include "winutils/ConfigurationBase.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_string.h"

namespace pollwick {

namespace fs = std::filesystem;
using winutils::LowerCase;

#define DLOG(fmt, ...)                                                                       \
    winutils::DebugLog(winutils::DEBUG_DOWNLOADER, "Downloader::%s[%p:%4d]: " fmt, __func__, \
                       static_cast<const void*>(this), __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr size_t kErrorBodyLimit = Downloader::kAnswerLimit;
constexpr unsigned kJoinLogIntervalMs = 10000;

const char* const kHint = "Please report this error including the link you are trying to monitor to ";
const char* const kCancelledText = "Cancelled";

std::mutex gCaFileLock;
std::string gExtraCaFile;  // guarded by gCaFileLock

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A header value without the blanks, tabs and line breaks at its ends. Not winutils::Trim, which also takes
// off control bytes: the client hands those over as the server sent them, and a value (a file name above
// all) that holds one must stay invalid.
std::string TrimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return {};
    }
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// A whole non-negative decimal number; nothing for anything else.
std::optional<int64_t> ParseLength(const std::string& text) {
    std::string t = TrimBlanks(text);
    int64_t value = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

void ReplaceAllText(std::string& text, const std::string& from, const std::string& to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// The text of a string list made from body: every line, whatever its break, followed by CR LF.
std::string StringListText(const std::string& body) {
    std::string out;
    size_t i = 0;
    while (i < body.size()) {
        size_t e = body.find_first_of("\r\n", i);
        if (e == std::string::npos) {
            out.append(body, i, std::string::npos);
            out += "\r\n";
            break;
        }
        out.append(body, i, e - i);
        out += "\r\n";
        i = e + ((body[e] == '\r' && e + 1 < body.size() && body[e + 1] == '\n') ? 2 : 1);
    }
    return out;
}

// "content-range: bytes x-y/t" (lower-cased line) into its three numbers; t may be unknown ("*").
struct ContentRange {
    int64_t first = -1;
    int64_t last = -1;
    int64_t total = -1;
};

std::optional<ContentRange> ParseContentRange(const std::string& line) {
    std::string v = TrimBlanks(line.substr(std::strlen("content-range:")));
    if (!v.starts_with("bytes ")) {
        return std::nullopt;
    }
    v = TrimBlanks(v.substr(6));
    size_t dash = v.find('-');
    size_t slash = v.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash) {
        return std::nullopt;
    }
    auto first = ParseLength(v.substr(0, dash));
    auto last = ParseLength(v.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *last < *first) {
        return std::nullopt;
    }
    ContentRange r{*first, *last, -1};
    if (auto total = ParseLength(v.substr(slash + 1))) {
        r.total = *total;
    }
    return r;
}

const std::string* FindHeader(const std::vector<std::string>& lines, const std::string& lowerName) {
    for (const auto& line : lines) {
        if (LowerCase(line).starts_with(lowerName)) {
            return &line;
        }
    }
    return nullptr;
}

int64_t FileSize(FILE* f) {
    fflush(f);
    struct stat st {};
    return fstat(fileno(f), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

std::string SocketErrorText(long code, const std::string& message) {
    return "Error downloading page. Socket error #" + std::to_string(code) + ". " + message;
}

std::string NoProgressText() {
    return "Error downloading page. The server broke off the transfer " +
           std::to_string(Downloader::kNoProgressLimit) + " times without sending enough data to go on.";
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// One attempt's state, reached from the client's callbacks.

struct Downloader::Attempt {
    FILE* file = nullptr;
    int64_t askedStart = -1;   // range asked for; -1: none
    int64_t askedEnd = -1;     // -1: open to the end
    bool resumeWhole = false;  // a whole-file request continued from askedStart
    std::string body;
    std::string errorBody;
    bool bodyIsError = false;
    bool errorBodyCut = false;  // the error page went past the limit and was not read further
    long status = 0;
    std::string reason;
    std::vector<std::string> lines;
    Abort abort = Abort::None;
    std::string abortDetail;
    int64_t written = 0;
    int64_t answeredLength = -1;  // bytes a range answer announced
    int64_t rangeTotal = -1;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

// ---------------------------------------------------------------------------------------------------------
// Construction and settings.

Downloader::Downloader(int threadNum, bool useThreads, DownloadProgressSink* ownerInfo,
                       DownloaderSubThreadInfo* parentSubInfo, DownloadSettings settings)
    : useThreads(useThreads),
      threadNum(threadNum),
      ownerInfo(ownerInfo),
      parentSubInfo(parentSubInfo),
      settings_(std::move(settings)) {
    GlobalInitOnce();
    if (parentSubInfo && parentSubInfo->owner_downloader) {
        // A part stops with the download it belongs to.
        stop_ = parentSubInfo->owner_downloader->stop_;
    }
}

Downloader::~Downloader() {
    if (!runFolder_.empty()) {
        std::error_code ignored;
        fs::remove_all(runFolder_, ignored);
    }
}

void Downloader::SetExtraCAFile(const std::string& path) {
    std::lock_guard guard(gCaFileLock);
    gExtraCaFile = path;
}

fs::path Downloader::TargetFolder() const {
    if (parentSubInfo && parentSubInfo->owner_downloader) {
        return parentSubInfo->owner_downloader->RunFolder();
    }
    return settings_.TargetFolder(threadNum);
}

void Downloader::init(const std::string& url, const std::string& siteUserName,
                      const std::string& sitePassword) {
    DLOG("BEGIN %s", url.c_str());
    if (!HTTP) {
        HTTP.reset(curl_easy_init());
        if (HTTP) {
            // Cookies are kept in memory for the handle's life (set once: the list does not grow).
            curl_easy_setopt(HTTP.get(), CURLOPT_COOKIEFILE, "");
            curl_easy_setopt(HTTP.get(), CURLOPT_SOCKOPTFUNCTION, &Downloader::OnSocketOpened);
            curl_easy_setopt(HTTP.get(), CURLOPT_SOCKOPTDATA, this);
            curl_easy_setopt(HTTP.get(), CURLOPT_CLOSESOCKETFUNCTION, &Downloader::OnSocketClosed);
            curl_easy_setopt(HTTP.get(), CURLOPT_CLOSESOCKETDATA, this);
        } else {
            DLOG("could not create the HTTP client");
        }
    }
    if (HTTP) {
        // Every option that some request changes is set here again, so each request starts alike.
        CURL* h = HTTP.get();
        http10_ = false;
        acceptEncoding_ = "gzip,deflate";
        const long timeout = std::max(settings_.timeoutSeconds, 1);
        curl_easy_setopt(h, CURLOPT_USERAGENT, settings_.userAgent.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        // Files are streamed to disk as they arrive, in reads as large as a receive batch.
        curl_easy_setopt(h, CURLOPT_BUFFERSIZE, ReceiveBatch::kReceiveBuffer);
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 20L);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        // Connections are kept alive between the requests of one client (a part thread's parts).
        curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 0L);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeout * 1000L);
        // The time-out is one of silence, not of the whole transfer: a large file on a slow link is fine.
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, timeout);
        const bool login = !siteUserName.empty();
        curl_easy_setopt(h, CURLOPT_USERNAME, login ? siteUserName.c_str() : nullptr);
        curl_easy_setopt(h, CURLOPT_PASSWORD, login ? sitePassword.c_str() : nullptr);
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        ApplyProxy(url);
        ApplyTls();
        const bool verbose = winutils::DebugLogPreferences() &&
                             (winutils::DebugLogPreferences()->DebugMask.load() & winutils::DEBUG_DOWNLOADER);
        curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, verbose ? &Downloader::OnDebug : nullptr);
        curl_easy_setopt(h, CURLOPT_DEBUGDATA, this);
        curl_easy_setopt(h, CURLOPT_VERBOSE, verbose ? 1L : 0L);
    }
    content.clear();
    headerFileExt.clear();
    statusCode = 0;
    expectedContentLength = 0;
    {
        std::lock_guard guard(Mutex_Queue);
        partsReceivedSum_ = 0;
    }
    lastReportedProgress = 0;
    DLOG("END");
}

void Downloader::ApplyProxy(const std::string& url) {
    CURL* h = HTTP.get();
    std::string host;
    int port = 0;
    if (settings_.useProxy) {
        bool https = url.starts_with("https://");
        host = https ? settings_.httpsProxyHost : settings_.httpProxyHost;
        port = https ? settings_.httpsProxyPort : settings_.httpProxyPort;
    }
    // An empty text keeps the client from taking a proxy from the environment on its own: the settings
    // decide alone.
    curl_easy_setopt(h, CURLOPT_PROXY, host.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPORT, host.empty() ? 0L : static_cast<long>(port));
    DLOG("proxy [%s:%d]", host.c_str(), port);
}

void Downloader::ApplyTls() {
    CURL* h = HTTP.get();
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    std::string extra;
    {
        std::lock_guard guard(gCaFileLock);
        extra = gExtraCaFile;
    }
    if (extra.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, nullptr);
        return;
    }
    if (caBlob_.empty()) {
        // The system's bundle and the extra file together, so both are trusted.
        char* systemBundle = nullptr;
        curl_easy_getinfo(h, CURLINFO_CAINFO, &systemBundle);
        std::ifstream sys(systemBundle ? systemBundle : "/etc/ssl/certs/ca-certificates.crt",
                          std::ios::binary);
        std::ifstream add(extra, std::ios::binary);
        std::stringstream all;
        all << sys.rdbuf() << "\n" << add.rdbuf();
        caBlob_ = all.str();
    }
    curl_blob blob{caBlob_.data(), caBlob_.size(), CURL_BLOB_NOCOPY};
    curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
}

void Downloader::ApplyHeaders(const std::string& acceptEncoding, const std::string& range) {
    CURL* h = HTTP.get();
    curl_slist* list = nullptr;
    auto add = [&list](const std::string& line) {
        if (curl_slist* grown = curl_slist_append(list, line.c_str())) {
            list = grown;
        }
    };
    add("Accept:");
    add("Cache-Control: no-cache");
    add("Connection: Keep-Alive");
    if (!settings_.referer.empty()) {
        add("Referer: " + settings_.referer);
    }
    if (acceptEncoding == "identity") {
        add("Accept-Encoding: identity");
        curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, nullptr);
        curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    } else {
        curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, acceptEncoding.c_str());
        curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 1L);
    }
    headerList_.reset(list);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(h, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION,
                     static_cast<long>(http10_ ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1));
}

std::string Downloader::RequestEncoding() const {
    // A body that is stored or measured must arrive as the server keeps it.
    return target_ == Target::Memory ? acceptEncoding_ : "identity";
}

// ---------------------------------------------------------------------------------------------------------
// Callbacks.

size_t Downloader::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* d = static_cast<Downloader*>(self);
    Attempt& a = *d->attempt_;
    size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (line.starts_with("HTTP/")) {
        a.lines.clear();
        a.status = 0;
        a.reason.clear();
        std::istringstream in(line);
        std::string version;
        in >> version >> a.status;
        std::getline(in, a.reason);
        a.reason = TrimBlanks(a.reason);
        return n;
    }
    if (line.empty()) {
        return d->HeadersComplete() ? n : 0;
    }
    a.lines.push_back(line);
    return n;
}

bool Downloader::HeadersComplete() {
    Attempt& a = *attempt_;
    if (a.status >= 100 && a.status < 200) {
        return true;
    }
    const std::string* location = FindHeader(a.lines, "location:");
    if (a.status >= 300 && a.status < 400 && location) {
        std::string target = TrimBlanks(location->substr(std::strlen("location:")));
        if (!RedirectAllowed(target)) {
            a.abort = Abort::BadRedirect;
            a.abortDetail = target;
            DLOG("redirect refused [%s]", target.c_str());
            return false;
        }
        redirected = true;
        redirectCode = static_cast<int>(a.status);
        return true;
    }
    HTTPReceiveResponse(a.lines);
    if (a.status >= 400) {
        a.bodyIsError = true;
        return true;
    }
    if (a.status < 200 || a.status >= 300 || target_ == Target::Memory) {
        return true;
    }
    if (const std::string* enc = FindHeader(a.lines, "content-encoding:")) {
        std::string value = LowerCase(TrimBlanks(enc->substr(std::strlen("content-encoding:"))));
        if (!value.empty() && value != "identity") {
            a.abort = Abort::Encoded;
            a.abortDetail = value;
            return false;
        }
    }
    return a.askedStart < 0 || CheckRangeAnswer(a.lines);
}

bool Downloader::CheckRangeAnswer(const std::vector<std::string>& lines) {
    Attempt& a = *attempt_;
    if (a.status != 206 && a.resumeWhole && a.status == 200 && a.file) {
        // The server will not continue the file: start it again from its first byte.
        fflush(a.file);
        if (ftruncate(fileno(a.file), 0) != 0 || fseek(a.file, 0, SEEK_SET) != 0) {
            a.abort = Abort::RangeRefused;
            return false;
        }
        a.askedStart = -1;
        return true;
    }
    std::optional<ContentRange> range;
    for (const auto& line : lines) {
        std::string lower = LowerCase(line);
        if (lower.starts_with("content-range:")) {
            range = ParseContentRange(lower);
        }
    }
    bool fits = a.status == 206 && range && range->first == a.askedStart;
    if (fits && a.askedEnd >= 0) {
        fits = range->last <= a.askedEnd &&
               (range->last == a.askedEnd || (range->total > 0 && range->last == range->total - 1));
    } else if (fits) {
        fits = range->total > 0 && range->last == range->total - 1;
    }
    if (!fits) {
        DLOG("range %lld-%lld not answered as asked (status %ld)", static_cast<long long>(a.askedStart),
             static_cast<long long>(a.askedEnd), a.status);
        a.abort = Abort::RangeRefused;
        return false;
    }
    a.answeredLength = range->last - range->first + 1;
    a.rangeTotal = range->total;
    if (target_ == Target::Probe) {
        probeRangeHonoured_ = true;
    }
    return true;
}

bool Downloader::RedirectAllowed(const std::string& location) const {
    std::string lower = LowerCase(location);
    size_t colon = lower.find(':');
    size_t slash = lower.find('/');
    bool hasScheme = colon != std::string::npos && (slash == std::string::npos || colon < slash) &&
                     colon > 0 && std::isalpha(static_cast<unsigned char>(lower[0]));
    if (!hasScheme) {
        return true;  // relative: keeps the scheme of the page
    }
    std::string scheme = lower.substr(0, colon);
    if (scheme != "http" && scheme != "https") {
        return false;
    }
    char* current = nullptr;
    curl_easy_getinfo(HTTP.get(), CURLINFO_EFFECTIVE_URL, &current);
    bool fromHttps = current && LowerCase(current).starts_with("https:");
    return !(fromHttps && scheme == "http");
}

size_t Downloader::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* d = static_cast<Downloader*>(self);
    Attempt& a = *d->attempt_;
    size_t n = size * count;
    if (a.bodyIsError) {
        // An error page is kept up to the limit; a longer one is not read on.
        if (a.errorBody.size() + n > kErrorBodyLimit) {
            a.errorBody.append(data, kErrorBodyLimit - a.errorBody.size());
            a.errorBodyCut = true;
            return 0;
        }
        a.errorBody.append(data, n);
        return n;
    }
    if (a.file) {
        size_t wanted = n;
        if (d->parentSubInfo && a.askedStart >= 0 && a.askedEnd >= 0) {
            wanted = static_cast<size_t>(
                d->parentSubInfo->LockedClaim(a.askedStart + a.written, static_cast<int64_t>(n)));
            if (wanted < n) {
                a.abort = Abort::RangeShrunk;  // another thread fetches the rest
            }
        }
        size_t written = fwrite(data, 1, wanted, a.file);
        a.written += static_cast<int64_t>(written);
        if (a.answeredLength >= 0) {
            d->batch_.Received(static_cast<int64_t>(written));
        }
        return written < n ? 0 : written;
    }
    if (a.body.size() + n > kAnswerLimit) {
        a.abort = Abort::TooLarge;  // no real answer is this long: a hostile server is not read on
        return 0;
    }
    a.body.append(data, n);
    a.written += static_cast<int64_t>(n);
    return n;
}

int Downloader::OnProgress(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* d = static_cast<Downloader*>(self);
    // The client calls this at least about once a second, also while the server is silent: non-zero
    // makes it abandon the transfer.
    if (d->StopRequested()) {
        return 1;
    }
    const Attempt* a = d->attempt_;
    // The client waits for data next.
    const bool batched = a && a->file && !a->bodyIsError && a->answeredLength >= 0;
    d->batch_.BeforeWait(batched ? a->answeredLength - a->written : -1);
    // An error page is no progress of the download; the probe reports none.
    // A part counts the bytes it kept: those past a part's moved end are not its own.
    const int64_t received = a && a->file && d->parentSubInfo ? a->written : dlnow;
    if (a && !a->bodyIsError && d->target_ != Target::Probe && received != d->receivedThisAttempt) {
        d->HTTPReceiveProcess(dltotal, received);
    }
    return 0;
}

int Downloader::OnSocketOpened(void* self, curl_socket_t socket, curlsocktype) {
    static_cast<Downloader*>(self)->batch_.Opened(socket);
    return CURL_SOCKOPT_OK;
}

int Downloader::OnSocketClosed(void* self, curl_socket_t socket) {
    static_cast<Downloader*>(self)->batch_.Closed(socket);
    return close(socket);
}

int Downloader::OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    auto* d = static_cast<Downloader*>(self);
    if (type == CURLINFO_HEADER_OUT) {
        std::string text(data, size);
        winutils::DebugLog(winutils::DEBUG_DOWNLOADER, "Downloader::HTTPSendRequest[%p]: %s",
                           static_cast<void*>(d), text.c_str());
    } else if (type == CURLINFO_TEXT) {
        std::string text(data, size);
        winutils::DebugLog(winutils::DEBUG_DOWNLOADER, "Downloader::HTTPClient[%p]: %s",
                           static_cast<void*>(d), text.c_str());
    }
    return 0;
}

void Downloader::HTTPReceiveResponse(const std::vector<std::string>& lines) {
    for (const auto& raw : lines) {
        std::string line = LowerCase(raw);
        if (line.find(" 200 ok") != std::string::npos) {
            continue;
        }
        if (line.starts_with("content-length") && expectedContentLength == 0) {
            if (auto value = ParseLength(line.size() > 16 ? line.substr(16) : std::string())) {
                expectedContentLength = *value;
                if (ownerInfo) {
                    ownerInfo->locked_setProgress(expectedContentLength, 0);
                }
            }
        } else if (line.starts_with("content-range:")) {
            size_t slash = line.find('/');
            if (slash != std::string::npos) {
                if (auto value = ParseLength(line.substr(slash + 1))) {
                    expectedContentLength = *value;
                }
            }
        } else if (line.starts_with("content-disposition:") && line.find("filename=") != std::string::npos) {
            std::string name = line.substr(line.find("filename=") + std::strlen("filename="));
            name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
            name = TrimBlanks(name.substr(0, name.find(';')));
            auto safe = SafeServerFileName(name);
            size_t dot = safe ? safe->rfind('.') : std::string::npos;
            if (dot != std::string::npos) {
                headerFileExt = safe->substr(dot);
            }
            DLOG("file name [%s] -> extension [%s]", name.c_str(), headerFileExt.c_str());
        }
    }
    DLOG("expectedContentLength %lld", static_cast<long long>(expectedContentLength));
}

void Downloader::HTTPReceiveProcess(int64_t total, int64_t received) {
    if (ownerInfo) {
        ownerInfo->locked_setProgress(total, received);
    } else if (parentSubInfo && parentSubInfo->owner_downloader) {
        parentSubInfo->owner_downloader->SubHTTPReceiveProgress(received - lastReportedProgress);
        lastReportedProgress = received;
    }
    receivedThisAttempt = received;
}

// ---------------------------------------------------------------------------------------------------------
// Small public helpers.

bool Downloader::errorAllowsRetry(int status) {
    switch (status) {
        case 401:
        case 402:
        case 403:
        case 404:
        case 407:
        case 409:
        case 410:
        case 413:
        case 414:
        case 415:
        case 416:
        case 417:
        case 502:
            return false;
        default:
            return true;
    }
}

std::string Downloader::serverPartOf(const std::string& url) {
    std::string work = url;
    ReplaceAllText(work, "http://", "HTTP___");
    ReplaceAllText(work, "https://", "HTTPS___");
    size_t cut = work.find('/');
    if (cut == std::string::npos) {
        cut = work.find('\\');
    }
    if (cut != std::string::npos) {
        work.resize(cut + 1);
    }
    ReplaceAllText(work, "HTTPS___", "https://");
    ReplaceAllText(work, "HTTP___", "http://");
    return work;
}

std::string Downloader::StatusErrorText(int status, long errorCode, const std::string& message) const {
    // Without a configured address there is no one to report to: the sentence is left out.
    const std::string& address = settings_.supportEmail;
    const std::string hint = address.empty() ? std::string() : kHint + address;
    switch (status) {
        case 400:
            return "Error 400, Bad Request. The request was not understood by the server. " + hint;
        case 401:
            return "Error 401, Unauthorized. You are not authorized to view this page.";
        case 402:
            return "Error 402, Payment Required";
        case 403:
            return "Error 403, Forbidden. The server understood the request, but refused to fulfill it.";
        case 404:
            return "Error 404, Not Found. The page does not exist.";
        case 405:
            return "Error 405, Method Not Allowed. The method specified in the Request-Line is not allowed "
                   "for "
                   "the resource identified by the Request-URI. " +
                   hint;
        case 406:
            return "Error 406, Not Accessible. Response cannot be sent in one of the acceptable formats. " +
                   hint;
        case 407:
            return "Error 407, Proxy Authentication Required. Please make sure your HTTP Proxy is configured "
                   "correctly in Setup -> Download.";
        case 408:
            return "Error 408, Request Timeout. Try again later.";
        case 409:
            return "Error 409, Conflict. The request could not be completed due to a conflict with the "
                   "current "
                   "state of the resource";
        case 410:
            return "Error 410, Gone. The requested resource is no longer available at the server and no "
                   "forwarding address is known. This condition is expected to be considered permanent.";
        case 411:
            return "Error 411, Length Required. The server refuses to accept the request without a defined "
                   "Content-Length. " +
                   hint;
        case 412:
            return "Error 412, Precondition Failed. The precondition given in one or more of the "
                   "request-header fields evaluated to false when it was tested on the server. " +
                   hint;
        case 413:
            return "Error 413, Request Entity Too Large. The server is refusing to process a request because "
                   "the request entity is larger than the server is willing or able to process. " +
                   hint;
        case 414:
            return "Error 414, Request Entity Too Large. The URL you are trying to monitor is too long.";
        case 415:
            return "Error 415, Unsupported Media Type. The server is refusing to service the request because "
                   "the entity of the request is in a format not supported by the requested resource for the "
                   "requested method. " +
                   hint;
        case 416:
            return "Error 416, Requested Range Not Satisfiable.";
        case 417:
            return "Error 417, Expectation Failed. The expectation given in an Expect request-header field "
                   "could not be met by this server, or, if the server is a proxy, the server has "
                   "unambiguous "
                   "evidence that the request could not be met by the next-hop server. " +
                   hint;
        case 500:
            return "Error 500, Internal Server Error. The server encountered an unexpected condition which "
                   "prevented it from fulfilling the request.";
        case 501:
            return "Error 501, Not Implemented. The server does not support the functionality required to "
                   "fulfill the request.";
        case 502:
            return "Error 502, Bad Gateway. The server, while acting as a gateway or proxy, received an "
                   "invalid "
                   "response from the upstream server it accessed in attempting to fulfill the request.";
        case 503:
            return "Error 503, Service Unavailable. The server is currently unable to handle the request due "
                   "to a temporary overloading or maintenance of the server. Please try again later.";
        case 504:
            return "Error 504, Gateway Timeout. The server, while acting as a gateway or proxy, did not "
                   "receive "
                   "a timely response from the upstream server specified by the URI (e.g. HTTP, FTP, LDAP) "
                   "or "
                   "some other auxiliary server (e.g. DNS) it needed to access in attempting to complete the "
                   "request. Please try again later.";
        case 505:
            return "Error 505, HTTP Version Not Supported. The server does not support, or refuses to "
                   "support, "
                   "the HTTP protocol version that was used in the request message. " +
                   hint;
        default:
            break;
    }
    std::string text =
        winutils::ConfigurationBase::GetText("DOWNLOADER_4", "Error downloading page. Error code:") +
        " Socket error #" + std::to_string(errorCode) + ". ";
    if (status != 0) {
        text += "HTTP status: " + std::to_string(status) + ". " + message;
    }
    return text;
}

std::optional<std::string> Downloader::SafeServerFileName(const std::string& name) {
    size_t cut = name.find_last_of("/\\:");
    std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
    if (base.empty() || base == "." || base == ".." || base[0] == '.') {
        return std::nullopt;
    }
    for (unsigned char c : base) {
        if (c < 0x20 || c == 0x7f) {
            return std::nullopt;
        }
    }
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) {
        std::string ext = base.substr(dot + 1);
        bool alnum = std::all_of(ext.begin(), ext.end(), [](unsigned char c) { return std::isalnum(c); });
        if (ext.empty() || ext.size() > 8 || !alnum) {
            return std::nullopt;
        }
    }
    return base;
}

std::vector<std::pair<int64_t, int64_t>> Downloader::Layout(int64_t totalSize) {
    std::vector<std::pair<int64_t, int64_t>> parts;
    const int64_t total = totalSize;
    int64_t partSize = total / 5;
    if (partSize > 750000) {
        partSize = 750000;
    } else if (partSize < 100000) {
        partSize = 100000;
    }
    if (total < partSize) {
        partSize = total;
    }
    int64_t start = 0;
    int64_t used = 0;
    while (used < total) {
        int64_t size = (total - start < partSize) ? total - start + 1 : partSize;
        used += size;
        if (total - used < 20000) {
            used = total;
        }
        parts.emplace_back(start, used);
        start = used + 1;
    }
    return parts;
}

// ---------------------------------------------------------------------------------------------------------
// One logical request.

CURLcode Downloader::Perform(const std::string& url, FILE* file) {
    CURL* h = HTTP.get();
    attempt_->file = file;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, attempt_->errorBuffer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Downloader::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Downloader::OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);  // also for the probe: the callback checks for a stop
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Downloader::OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    batch_.StartAnswer();
    CURLcode code = curl_easy_perform(h);
    batch_.FinishAnswer();
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    attempt_->status = status;
    return code;
}

// The state of one innerGet across its attempts.
struct Downloader::RequestRun {
    const DownloadRequest& request;
    DownloadResult& result;
    const bool range;  // a byte range is asked for
    int attempts = 0;
    bool fallbackHttp10 = false;
    bool fallbackNoGzip = false;
    int stalled = 0;  // breaks in a row that brought nothing new
    int64_t lastExceptionProgress = 0;
    int64_t rangeLength = -1;  // bytes the range holds, once a server has told
    int brokenRequests = 0;    // in a row, for the back-off
    bool goOn = true;

    // Ends the request as failed, without a further attempt.
    void Fail(std::string error, bool retryAllowed = false) {
        result.ok = false;
        result.lastErrorAllowsRetry = retryAllowed;
        result.error = std::move(error);
        goOn = false;
    }
};

DownloadResult Downloader::innerGet(const DownloadRequest& request) {
    DLOG("BEGIN [%s] [%s] %lld-%lld", request.url.c_str(), request.saveToFilename.c_str(),
         static_cast<long long>(request.rangeStart), static_cast<long long>(request.rangeEnd));
    DownloadResult result;
    result.ok = true;
    init(request.url, request.siteUserName, request.sitePassword);
    if (!HTTP) {
        statusCode = 599;
        result.ok = false;
        result.error = winutils::ConfigurationBase::GetText(
            "DOWNLOADER_1",
            "Internal Gorsewind error: OUT OF MEMORY! Free some resources and restart Gorsewind! Could not "
            "allocate HTTP client");
        return result;
    }
    target_ = request.saveToFilename.empty()         ? Target::Memory
              : request.saveToFilename == kProbeName ? Target::Probe
                                                     : Target::File;
    if (target_ == Target::File && !PrepareFileTarget(request.saveToFilename, result)) {
        return result;
    }
    receivedBefore = 0;
    rangeRefused_ = false;
    probeRangeHonoured_ = false;

    RequestRun run{request, result, request.rangeStart >= 0 && request.rangeEnd > 0};
    while (run.goOn && result.lastErrorAllowsRetry) {
        Attempt a;
        attempt_ = &a;
        FilePtr file;
        if (!PrepareAttempt(run, a, file)) {
            break;
        }
        const CURLcode code = Transfer(run, a, file.get());
        Classify(run, a, code, file.get());
        if (file) {
            DLOG("file size now %lld", static_cast<long long>(FileSize(file.get())));
            file.reset();
        } else {
            receivedBefore += receivedThisAttempt;
        }
        attempt_ = nullptr;
        ++run.attempts;
    }
    attempt_ = nullptr;

    if (redirected) {
        ReportRedirect(request.url, result);
    }
    if (!result.ok && target_ == Target::File && !result.savedPath.empty()) {
        std::error_code ignored;
        fs::remove(result.savedPath, ignored);  // a failed file is never left looking like a result
    }
    DLOG("END result=%d status=%d error [%s]", result.ok ? 1 : 0, statusCode, result.error.c_str());
    return result;
}

bool Downloader::PrepareFileTarget(const std::string& saveToFilename, DownloadResult& result) {
    auto safe = SafeServerFileName(saveToFilename);
    if (!safe) {
        statusCode = 599;
        result.ok = false;
        result.lastErrorAllowsRetry = false;
        result.error = "Error downloading page. Refused the file name \"" + saveToFilename + "\".";
        DLOG("%s", result.error.c_str());
        return false;
    }
    fs::path folder = TargetFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::string name = *safe;
    while (fs::exists(folder / name, ec)) {
        if (!fs::remove(folder / name, ec) || ec) {
            name = "_" + name;
        }
    }
    result.savedPath = (folder / name).string();
    return true;
}

bool Downloader::PrepareAttempt(RequestRun& run, Attempt& a, FilePtr& file) {
    const DownloadRequest& request = run.request;
    if (StopRequested()) {
        run.Fail(kCancelledText);
        return false;
    }
    if (DownloadRoot().NoProgressLimitReached()) {
        run.Fail(NoProgressText());
        return false;
    }
    redirected = false;
    lastReportedProgress = 0;
    if (receivedBefore == 0 && !run.range) {
        if (run.fallbackHttp10) {
            init(request.url, request.siteUserName, request.sitePassword);
            http10_ = true;
        }
        if (run.fallbackNoGzip) {
            init(request.url, request.siteUserName, request.sitePassword);
            acceptEncoding_ = "gzip;q=0";
        }
    }
    receivedThisAttempt = 0;
    std::string rangeHeader;
    if (target_ == Target::File) {
        if (run.range && run.rangeLength >= 0 && receivedBefore >= run.rangeLength) {
            return false;  // every byte of the range is here; only the close went wrong
        }
        if (run.range && request.rangeStart + receivedBefore > RangeLimit(request.rangeEnd)) {
            return false;  // the part was cut short and every byte of it is here
        }
        file.reset(fopen(run.result.savedPath.c_str(), run.attempts == 0 ? "w+b" : "r+b"));
        if (file) {
            // The client hands the body over in small pieces: they go to disk a batch at a time.
            fileBuffer_.resize(ReceiveBatch::kMaxBatch);
            setvbuf(file.get(), fileBuffer_.data(), _IOFBF, fileBuffer_.size());
        }
        if (!file || fseek(file.get(), 0, SEEK_END) != 0) {
            statusCode = 599;
            run.Fail("Error downloading page. Could not write the file \"" + run.result.savedPath + "\".");
            return false;
        }
        if (run.range) {
            a.askedStart = request.rangeStart + receivedBefore;
            a.askedEnd = RangeLimit(request.rangeEnd);
            rangeHeader = std::to_string(a.askedStart) + "-" + std::to_string(a.askedEnd);
            if (parentSubInfo) {
                parentSubInfo->LockedSetPosition(a.askedStart);
            }
        } else if (receivedBefore > 0) {
            // Continue the whole file after what is already written, never append it twice.
            a.askedStart = receivedBefore;
            a.resumeWhole = true;
            rangeHeader = std::to_string(receivedBefore) + "-";
        }
    } else if (target_ == Target::Probe) {
        a.askedStart = 0;
        a.askedEnd = 1;
        rangeHeader = "0-1";
    }
    ApplyHeaders(RequestEncoding(), rangeHeader);
    DLOG("attempt %d http10=%d encoding [%s] range [%s]", run.attempts, http10_ ? 1 : 0,
         RequestEncoding().c_str(), rangeHeader.c_str());
    return true;
}

CURLcode Downloader::Transfer(RequestRun& run, Attempt& a, FILE* file) {
    const CURLcode code = Perform(run.request.url, file);
    if (parentSubInfo && file && !a.bodyIsError && a.written != receivedThisAttempt) {
        HTTPReceiveProcess(0, a.written);  // a transfer cut at the part's end reports its last bytes here
    }
    statusCode = static_cast<int>(a.status);
    content = target_ == Target::File ? std::string() : StringListText(a.body);
    if (a.answeredLength >= 0 && run.range) {
        run.rangeLength = a.answeredLength + (a.askedStart - run.request.rangeStart);
    }
    return code;
}

void Downloader::Classify(RequestRun& run, const Attempt& a, CURLcode code, FILE* file) {
    if (StopRequested()) {
        // Whatever the transfer got so far: a stopped request has no result.
        run.Fail(kCancelledText);
    } else if (a.abort != Abort::None) {
        ClassifyAbort(run, a);
    } else if ((code == CURLE_OK || a.errorBodyCut) && a.status >= 400) {
        ClassifyErrorStatus(run, a);
    } else if (code != CURLE_OK || (a.answeredLength >= 0 && a.written < a.answeredLength)) {
        ClassifyBrokenTransfer(run, a, code, file);
    } else {
        ClassifyCompleted(run, a);
    }
}

void Downloader::ClassifyAbort(RequestRun& run, const Attempt& a) {
    switch (a.abort) {
        case Abort::RangeShrunk:
            run.goOn = false;  // the part now ends here and is complete; another thread fetches the rest
            break;
        case Abort::TooLarge:
            content.clear();
            run.Fail("Error downloading page. The answer is longer than " + std::to_string(kAnswerLimit) +
                     " bytes.");
            break;
        case Abort::BadRedirect:
            run.Fail("Error downloading page. Refused to follow the redirect to \"" + a.abortDetail + "\".");
            break;
        case Abort::RangeRefused:
            if (target_ == Target::Probe) {
                run.goOn = false;  // the answer still tells the length; the caller downloads the file whole
            } else {
                rangeRefused_ = true;
                run.Fail(
                    "Error downloading page. The server did not send the byte range that was asked for.");
            }
            break;
        case Abort::Encoded:
            run.Fail("Error downloading page. The server sent the file encoded (" + a.abortDetail +
                     ") although it was asked not to.");
            break;
        case Abort::None:
            break;
    }
}

void Downloader::ClassifyErrorStatus(RequestRun& run, const Attempt& a) {
    DownloadResult& result = run.result;
    result.lastErrorAllowsRetry = errorAllowsRetry(static_cast<int>(a.status));
    if (!run.fallbackHttp10 && result.lastErrorAllowsRetry) {
        run.fallbackHttp10 = true;
    } else if (!run.fallbackNoGzip && result.lastErrorAllowsRetry) {
        run.fallbackNoGzip = true;
    } else {
        run.goOn = false;
        if (!a.errorBody.empty() && a.status >= 500 && target_ == Target::Memory) {
            content = StringListText(a.errorBody);
        } else {
            result.ok = false;
            result.error = StatusErrorText(static_cast<int>(a.status), a.status, a.reason);
        }
    }
}

void Downloader::ClassifyBrokenTransfer(RequestRun& run, const Attempt& a, CURLcode code, FILE* file) {
    std::string message = a.errorBuffer[0] ? a.errorBuffer : curl_easy_strerror(code);
    if (code == CURLE_OK) {
        code = CURLE_PARTIAL_FILE;  // a range answer shorter than it announced
        message = "The server sent fewer bytes than it announced.";
    }
    // Connection trouble: resume what can be resumed, else the two fallbacks.
    if (file) {
        receivedBefore = FileSize(file);
    }
    if (receivedBefore == 0 && !run.range) {
        if (code != CURLE_OK && a.status != 404 && !run.fallbackHttp10) {
            run.fallbackHttp10 = true;
        } else if (!run.fallbackNoGzip && a.status != 404) {
            run.fallbackNoGzip = true;
        } else {
            run.Fail(SocketErrorText(code, message), true);
        }
        return;
    }
    const bool moved = target_ == Target::File && receivedBefore != run.lastExceptionProgress;
    const bool gainedLittle = !moved || receivedBefore - run.lastExceptionProgress < kProgressBytes;
    if (gainedLittle && !DownloadRoot().NoteRequestWithoutProgress()) {
        run.Fail(NoProgressText());
    } else if (!moved) {
        if (run.stalled < 2) {
            ++run.stalled;
            Pause(100 * run.stalled);
        } else {
            run.Fail(SocketErrorText(code, message));
        }
    } else {
        run.lastExceptionProgress = receivedBefore;
        run.stalled = 0;
        // A server that keeps breaking off after a few bytes is not asked again at once.
        run.brokenRequests = gainedLittle ? run.brokenRequests + 1 : 0;
        if (run.brokenRequests > 0) {
            Pause(BackOffMs(run.brokenRequests));
        }
    }
}

void Downloader::ClassifyCompleted(RequestRun& run, const Attempt& a) {
    DownloadResult& result = run.result;
    run.goOn = false;
    const bool strict = useThreads || target_ != Target::Memory;
    if (strict && a.status != 200 && a.status != 206) {
        result.ok = false;
        result.error = a.status == -1 ? winutils::ConfigurationBase::GetText(
                                            "DOWNLOADER_3", "Error downloading page - domain lookup failed")
                                      : winutils::ConfigurationBase::GetText(
                                            "DOWNLOADER_4", "Error downloading page. Error code:") +
                                            " " + std::to_string(a.status);
    }
    if (result.ok && !run.fallbackNoGzip && target_ == Target::Memory &&
        static_cast<int64_t>(content.size()) < expectedContentLength) {
        run.fallbackNoGzip = true;
        run.goOn = true;
    }
}

void Downloader::ReportRedirect(const std::string& url, DownloadResult& result) {
    char* effective = nullptr;
    curl_easy_getinfo(HTTP.get(), CURLINFO_EFFECTIVE_URL, &effective);
    redirectUrl = effective ? effective : "";
    result.tempRedirect = redirectCode == 302 || redirectCode == 307;
    result.redirectedTo = redirectUrl;
    std::string lower = LowerCase(result.redirectedTo);
    if (!lower.starts_with("http://") && !lower.starts_with("https://")) {
        std::string server = serverPartOf(url);
        if (result.redirectedTo.starts_with("/")) {
            StripTrailingSlashes(server);
        } else {
            AddTrailingSlash(server);
        }
        result.redirectedTo = server + result.redirectedTo;
    }
}

// ---------------------------------------------------------------------------------------------------------
// get and the segmented download.

bool Downloader::addSubDownload(MyDownload* part) {
    std::lock_guard guard(Mutex_Queue);
    partQueue.push_back(part);
    return true;
}

MyDownload* Downloader::getMoreWorkForSubThread() {
    std::lock_guard guard(Mutex_Queue);
    if (StopRequested() || NoProgressLimitReached()) {
        ++finishedThreads;
        return nullptr;
    }
    if (partQueue.empty()) {
        // No thread waits idle while others still fetch: it takes the second half of the largest rest.
        if (MyDownload* piece = SplitLargestRunningPart()) {
            return piece;
        }
        ++finishedThreads;
        return nullptr;
    }
    MyDownload* part = partQueue.front();
    partQueue.pop_front();
    return part;
}

MyDownload* Downloader::SplitLargestRunningPart() {
    // The smallest part the layout makes is also the smallest piece split off.
    constexpr int64_t kMinPiece = 100000;
    DownloaderSubThreadInfo* largest = nullptr;
    int64_t largestRest = 0;
    for (auto& info : subThreadInfos) {
        const int64_t rest = info->LockedGetRemaining(segmentedTotal_);
        if (rest > largestRest) {
            largest = info.get();
            largestRest = rest;
        }
    }
    // The part went on meanwhile: the split checks again under the record's lock.
    auto best = largest ? largest->LockedSplitRemainder(kMinPiece, segmentedTotal_) : std::nullopt;
    if (!best) {
        return nullptr;
    }
    auto part = std::make_unique<MyDownload>();
    part->id = static_cast<int>(partList.size());
    part->url = partList.front()->url;
    part->rangeStart = best->first;
    part->rangeEnd = best->second;
    MyDownload* raw = part.get();
    auto at = std::find_if(partList.begin(), partList.end(),
                           [&](const auto& p) { return p->rangeStart > raw->rangeStart; });
    partList.insert(at, std::move(part));
    DLOG("part %d takes bytes %lld-%lld", raw->id, static_cast<long long>(raw->rangeStart),
         static_cast<long long>(raw->rangeEnd));
    return raw;
}

bool Downloader::NoteRequestWithoutProgress() {
    return requestsWithoutProgress_.fetch_add(1) + 1 < kNoProgressLimit;
}

bool Downloader::NoProgressLimitReached() const {
    return requestsWithoutProgress_.load() >= kNoProgressLimit;
}

Downloader& Downloader::DownloadRoot() {
    return parentSubInfo && parentSubInfo->owner_downloader ? *parentSubInfo->owner_downloader : *this;
}

const Downloader& Downloader::DownloadRoot() const {
    return parentSubInfo && parentSubInfo->owner_downloader ? *parentSubInfo->owner_downloader : *this;
}

int64_t Downloader::RangeLimit(int64_t rangeEnd) const {
    return parentSubInfo ? std::min(rangeEnd, parentSubInfo->LockedGetEndLimit()) : rangeEnd;
}

int Downloader::BackOffMs(int brokenRequests) const {
    int ms = kFirstBackOffMs;
    for (int i = 1; i < brokenRequests && ms < kLastBackOffMs; ++i) {
        ms *= 2;
    }
    return std::min(ms, kLastBackOffMs);
}

void Downloader::SubHTTPReceiveProgress(int64_t delta) {
    std::lock_guard guard(Mutex_Queue);
    partsReceivedSum_ += delta;
    if (ownerInfo) {
        try {
            ownerInfo->locked_setProgress(expectedContentLength, partsReceivedSum_);
        } catch (const std::exception& e) {
            DLOG("progress report failed: %s", e.what());
        }
    }
}

int64_t Downloader::partsReceivedSum() const {
    std::lock_guard guard(Mutex_Queue);
    return partsReceivedSum_;
}

DownloadResult Downloader::SingleRequest(const DownloadRequest& request, int& attemptsLeft) {
    DownloadResult result;
    do {
        result = innerGet(request);
        if (!result.ok && attemptsLeft > 1 && result.lastErrorAllowsRetry) {
            Pause(1000);
        }
        --attemptsLeft;
    } while (!result.ok && attemptsLeft > 0 && result.lastErrorAllowsRetry);
    return result;
}

bool Downloader::Pause(int ms) const {
    std::mutex m;
    std::condition_variable_any wake;
    std::unique_lock lock(m);
    wake.wait_for(lock, stop_, std::chrono::milliseconds(ms), [] { return false; });
    return !StopRequested();
}

DownloadResult Downloader::FailWhenStopped(DownloadResult result) {
    if (!StopRequested()) {
        return result;
    }
    if (result.ok && !result.savedPath.empty()) {
        std::error_code ignored;
        fs::remove(result.savedPath, ignored);
    }
    result.ok = false;
    result.savedPath.clear();
    result.error = kCancelledText;
    DLOG("stopped");
    return result;
}

DownloadResult Downloader::get(const DownloadRequest& request) {
    DLOG("BEGIN [%s] [%s]", request.url.c_str(), request.saveToFilename.c_str());
    int attemptsLeft = settings_.attempts;
    if (&DownloadRoot() == this) {
        requestsWithoutProgress_ = 0;  // a new download starts with the whole allowance
    }
    std::string name = request.saveToFilename;
    if (!name.empty()) {
        // The save-as name may come from the server's answer: only its safe base name is used.
        auto safe = SafeServerFileName(name);
        if (!safe) {
            statusCode = 599;
            DownloadResult refused;
            refused.error =
                "Error downloading page. Refused the file name \"" + request.saveToFilename + "\".";
            DLOG("END %s", refused.error.c_str());
            return refused;
        }
        name = *safe;
    }
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    DownloadRequest clean = request;
    clean.url = request.url.substr(0, request.url.find('#'));
    int64_t probedLength = 0;
    bool segmented = false;
    DownloadResult probeRedirect;

    if (!name.empty() && useThreads) {
        DownloadRequest probe = clean;
        probe.saveToFilename = kProbeName;
        probe.rangeEnd = 0;
        probe.rangeStart = 0;
        DownloadResult probed = SingleRequest(probe, attemptsLeft);
        if (!probed.ok || StopRequested()) {
            DLOG("END probe failed [%s]", probed.error.c_str());
            probed.ok = false;
            probed.savedPath.clear();
            return FailWhenStopped(std::move(probed));
        }
        probeRedirect.tempRedirect = probed.tempRedirect;
        probeRedirect.redirectedTo = probed.redirectedTo;
        probedLength = expectedContentLength;
        segmented = probedLength > 0 && probeRangeHonoured_;
        if (segmented && ownerInfo) {
            ownerInfo->locked_setProgress(probedLength, 0);
        }
        if (!headerFileExt.empty()) {
            ext = headerFileExt;
        }
    }

    if (segmented) {
        DownloadResult parts = SegmentedDownload(clean.url, base, ext, probedLength);
        parts.tempRedirect = probeRedirect.tempRedirect;  // the parts report the probe's redirect
        parts.redirectedTo = probeRedirect.redirectedTo;
        if (parts.ok) {
            DLOG("END segmented [%s]", parts.savedPath.c_str());
            return FailWhenStopped(std::move(parts));
        }
        if (!rangeRefused_ || StopRequested()) {
            DLOG("END segmented download failed");
            return FailWhenStopped(std::move(parts));
        }
        DLOG("a part's range was refused: one whole request instead");
    }
    attemptsLeft = std::max(attemptsLeft, 1);
    // A file fetched whole gets the name the merged parts would have had (a part downloader's file, a
    // bare part number, has none).
    DownloadRequest whole = clean;
    whole.saveToFilename = useThreads && !base.empty() ? base + ext : base;
    DownloadResult result = SingleRequest(whole, attemptsLeft);
    if (result.ok && probedLength > 0 && !base.empty()) {
        std::error_code ec;
        auto size = static_cast<int64_t>(fs::file_size(result.savedPath, ec));
        if (ec || size != probedLength) {
            result.ok = false;
            result.error = "Error downloading page. The file has " + std::to_string(ec ? 0 : size) +
                           " bytes, but the server announced " + std::to_string(probedLength) + ".";
            fs::remove(result.savedPath, ec);
        }
    }
    result = FailWhenStopped(std::move(result));
    DLOG("END result=%d [%s]", result.ok ? 1 : 0, result.savedPath.c_str());
    return result;
}

DownloadResult Downloader::SegmentedDownload(const std::string& url, const std::string& base,
                                             const std::string& ext, int64_t totalSize) {
    DownloadResult result;
    const fs::path folder = settings_.TargetFolder(threadNum);
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::string pattern = (folder / ".parts-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        DLOG("could not create a part folder in [%s]", folder.c_str());
        return result;
    }
    runFolder_ = pattern;

    // Layout.
    partList.clear();
    segmentedTotal_ = totalSize;
    int id = 0;
    for (auto [start, end] : Layout(totalSize)) {
        auto part = std::make_unique<MyDownload>();
        part->id = id++;
        part->url = url;
        part->rangeStart = start;
        part->rangeEnd = end;
        addSubDownload(part.get());
        partList.push_back(std::move(part));
    }

    // Fetch and check.
    result.ok = FetchParts(url);
    rangeRefused_ = false;
    for (const auto& part : partList) {
        rangeRefused_ = rangeRefused_ || part->rangeRefused;
        if (!part->ok && result.error.empty()) {
            result.error = part->error;  // the first failed part tells the user why
        }
    }

    // Merge into the private folder, check, then move into place.
    if (result.ok) {
        fs::path merged = runFolder_ / "merged";
        // A stopped download never puts a file in place.
        result.ok = !StopRequested() && MergeParts(partList, merged, totalSize);
        if (result.ok) {
            fs::path final = FreeResultName(base, ext);
            fs::rename(merged, final, ec);
            result.ok = !ec;
            if (result.ok) {
                result.savedPath = final.string();
            }
        }
    }

    // Release.
    partList.clear();
    fs::remove_all(runFolder_, ec);
    runFolder_.clear();
    return result;
}

bool Downloader::FetchParts(const std::string& url) {
    DLOG("BEGIN %zu parts of [%s]", partList.size(), url.c_str());
    {
        std::lock_guard guard(Mutex_Queue);
        finishedThreads = 0;
    }
    {
        // Made before any thread runs; the split of running parts reads them under Mutex_Queue.
        std::lock_guard guard(Mutex_Queue);
        subThreadInfos.clear();
        for (int i = 0; i < kPartThreads; ++i) {
            subThreadInfos.push_back(std::make_unique<DownloaderSubThreadInfo>(i, this));
        }
    }
    std::vector<std::unique_ptr<DownloaderSubThread>> threads;
    for (auto& info : subThreadInfos) {
        threads.push_back(std::make_unique<DownloaderSubThread>(*info));
    }
    for (auto& t : threads) {
        t->Start();
    }
    // Each part ends within the client's time-outs; a part that takes long (a big file on a slow link) is
    // logged at every bound and waited for again, since its thread must be joined before its state goes.
    for (auto& t : threads) {
        while (!t->WaitFor(kJoinLogIntervalMs)) {
            DLOG("part thread %s still running", t->Name().c_str());
        }
    }
    threads.clear();
    {
        std::lock_guard guard(Mutex_Queue);
        subThreadInfos.clear();
    }
    bool result = true;
    for (const auto& part : partList) {
        if (!part->ok) {
            DLOG("part %d failed", part->id);
            result = false;
            break;
        }
    }
    DLOG("END result=%d", result ? 1 : 0);
    return result;
}

fs::path Downloader::FreeResultName(const std::string& base, const std::string& ext) const {
    const fs::path folder = settings_.TargetFolder(threadNum);
    fs::path candidate = folder / (base + ext);
    std::error_code ec;
    for (int n = 0; fs::exists(candidate, ec); ++n) {
        if (fs::remove(candidate, ec) && !ec) {
            break;
        }
        candidate = folder / (base + "_" + std::to_string(n) + ext);
    }
    return candidate;
}

}  // namespace pollwick
