// Single requests of the downloader against a local server: headers, fallbacks and retries, error texts,
// response headers, redirects, resuming, bad servers and TLS.
#include <cstdio>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/pollwick/DownloaderTestSupport.h"

namespace pollwick::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class DownloaderTest : public DownloaderFixture {};

TEST_F(DownloaderTest, MemoryRequestSendsTheClientHeadersAndKeepsTheTextAsLines) {
    cfg_->Preferences.UserAgent = "TestAgent/1.0";
    cfg_->Preferences.Referer = "http://referer.example/";
    auto server = StartServer(R"({"/check": {"body": "first\nsecond\r\nthird"}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/check"), "", 0, 0);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(d.statusCode, 200);
    EXPECT_EQ(d.content, "first\r\nsecond\r\nthird\r\n");

    auto requests = server->RequestsFor("/check");
    ASSERT_EQ(requests.size(), 1u);
    const auto& req = requests[0];
    EXPECT_EQ(req.version, "HTTP/1.1");
    EXPECT_EQ(req.Header("user-agent"), "TestAgent/1.0");
    EXPECT_EQ(req.Header("referer"), "http://referer.example/");
    EXPECT_EQ(req.Header("cache-control"), "no-cache");
    EXPECT_EQ(req.Header("connection"), "Keep-Alive");
    EXPECT_EQ(req.Header("accept-encoding"), "gzip,deflate");
    EXPECT_FALSE(req.HasHeader("accept"));
    EXPECT_FALSE(req.HasHeader("range"));
}

TEST_F(DownloaderTest, MemoryRequestUnpacksAGzipAnswer) {
    Serve("page.txt", "compressed text");
    auto server = StartServer(R"({"/page.txt": {"gzip": true}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/page.txt"), "", 0, 0);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(d.content, "compressed text\r\n");
}

// How one logical request answers an HTTP error: the number of requests it makes, the headers of each, and
// what the caller is told.
struct FallbackCase {
    const char* name;
    int status;
    const char* errorBody;
    std::vector<std::string> versions;   // HTTP version of each request made
    std::vector<std::string> encodings;  // Accept-Encoding of each request made
    bool ok;
    bool retry;
    const char* error;  // start of the error text; empty when ok
};

void PrintTo(const FallbackCase& c, std::ostream* os) {
    *os << c.name;
}

class FallbackTable : public DownloaderFixture, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(FallbackTable, RequestsAndResult) {
    const FallbackCase& c = GetParam();
    auto server = StartServer(std::string(R"({"/x": {"statuses": [)") + std::to_string(c.status) +
                              R"(], "error_body": ")" + c.errorBody + R"("}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/x"), "");
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.lastErrorAllowsRetry, c.retry);
    EXPECT_EQ(d.statusCode, c.status);
    if (*c.error) {
        EXPECT_THAT(r.error, StartsWith(c.error));
    }
    auto requests = server->RequestsFor("/x");
    ASSERT_EQ(requests.size(), c.versions.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].version, c.versions[i]) << "request " << i;
        EXPECT_EQ(requests[i].Header("accept-encoding"), c.encodings[i]) << "request " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FallbackTable,
    ::testing::Values(
        FallbackCase{"ServerError",
                     500,
                     "",
                     {"HTTP/1.1", "HTTP/1.0", "HTTP/1.1"},
                     {"gzip,deflate", "gzip,deflate", "gzip;q=0"},
                     false,
                     true,
                     "Error 500, Internal Server Error. The server encountered an unexpected condition which "
                     "prevented it from fulfilling the request."},
        FallbackCase{"NotFound",
                     404,
                     "",
                     {"HTTP/1.1"},
                     {"gzip,deflate"},
                     false,
                     false,
                     "Error 404, Not Found. The page does not exist."},
        FallbackCase{
            "Forbidden", 403, "", {"HTTP/1.1"}, {"gzip,deflate"}, false, false, "Error 403, Forbidden."},
        FallbackCase{"BadGatewayNeverRetried",
                     502,
                     "",
                     {"HTTP/1.1"},
                     {"gzip,deflate"},
                     false,
                     false,
                     "Error 502, Bad Gateway."},
        FallbackCase{"UnavailableWithPage",
                     503,
                     "maintenance page",
                     {"HTTP/1.1", "HTTP/1.0", "HTTP/1.1"},
                     {"gzip,deflate", "gzip,deflate", "gzip;q=0"},
                     true,
                     true,
                     ""},
        FallbackCase{
            "UnknownStatus",
            418,
            "",
            {"HTTP/1.1", "HTTP/1.0", "HTTP/1.1"},
            {"gzip,deflate", "gzip,deflate", "gzip;q=0"},
            false,
            true,
            "Error downloading page. Error code: Socket error #418. HTTP status: 418. I'm a Teapot"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, ErrorPageOfA503BecomesTheContent) {
    auto server = StartServer(R"({"/x": {"statuses": [503], "error_body": "back soon"}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/x"), "");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(d.statusCode, 503);
    EXPECT_EQ(d.content, "back soon\r\n");
}

TEST_F(DownloaderTest, GetRepeatsARetryableFailureAndStopsAtOnceOnA404) {
    cfg_->Preferences.Attempts = 2;
    auto server = StartServer(R"({"/busy": {"statuses": [500]}, "/gone": {"statuses": [404]}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    EXPECT_FALSE(Get(d, server->Url("/busy"), "", 0, 0).ok);
    EXPECT_EQ(server->RequestsFor("/busy").size(), 6u);  // two attempts of three requests each
    DownloadResult gone = Get(d, server->Url("/gone"), "", 0, 0);
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.error, "Error 404, Not Found. The page does not exist.");
    EXPECT_EQ(server->RequestsFor("/gone").size(), 1u);
}

TEST_F(DownloaderTest, RetryableFailureThatRecoversSucceeds) {
    auto server = StartServer(R"({"/flaky": {"statuses": [500, 200], "body": "fine"}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/flaky"), "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(d.content, "fine\r\n");
    ASSERT_EQ(server->RequestsFor("/flaky").size(), 2u);
    EXPECT_EQ(server->RequestsFor("/flaky")[1].version, "HTTP/1.0");
}

TEST_F(DownloaderTest, NoContentIsAcceptedOnlyWithoutThreads) {
    auto server = StartServer(R"({"/empty": {"statuses": [204]}})");
    Downloader plain(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(plain, server->Url("/empty"), "");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(plain.statusCode, 204);

    Downloader threaded(0, true, nullptr, nullptr, settings());
    DownloadResult t = InnerGet(threaded, server->Url("/empty"), "");
    EXPECT_FALSE(t.ok);
    EXPECT_EQ(t.error, "Error downloading page. Error code: 204");
}

TEST_F(DownloaderTest, ProbeReadsTheWholeLengthWhateverTheHeaderOrder) {
    Serve("big.bin", RandomBytes(300000, 1));
    auto server = StartServer("{}");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/big.bin"), Downloader::kProbeName);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(d.statusCode, 206);
    EXPECT_EQ(d.expectedContentLength, 300000);
    auto requests = server->RequestsFor("/big.bin");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("range"), "bytes=0-1");
    EXPECT_EQ(requests[0].Header("accept-encoding"), "identity");
}

TEST_F(DownloaderTest, LengthsOverFourGigabytesAreKept) {
    auto server = StartServer(R"({"/huge": {"body": "ab", "announce_total": 5000000000}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/huge"), Downloader::kProbeName);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(d.expectedContentLength, 5000000000LL);
}

TEST_F(DownloaderTest, BodyShorterThanItsAnnouncedLengthFails) {
    auto server = StartServer(
        R"({"/short": {"body": "only a few bytes", "announce_length": 5000000000},
            "/short.bin": {"body": "only a few bytes", "announce_length": 100}})");
    Downloader memory(0, false, nullptr, nullptr, settings());
    DownloadResult m = InnerGet(memory, server->Url("/short"), "");
    EXPECT_FALSE(m.ok);
    EXPECT_THAT(m.error, StartsWith("Error downloading page. Socket error #"));

    Downloader file(0, false, nullptr, nullptr, settings());
    DownloadResult f = Get(file, server->Url("/short.bin"), "short.bin");
    EXPECT_FALSE(f.ok);
    EXPECT_FALSE(std::filesystem::exists(f.savedPath));
}

TEST_F(DownloaderTest, MalformedAnswersFailWithoutHarm) {
    auto server = StartServer(R"({
        "/garbage": {"raw": "THIS IS NOT HTTP\r\n\r\n"},
        "/badlength": {"raw": "HTTP/1.1 200 OK\r\nContent-Length: zz\r\n\r\nhello"},
        "/nocolon": {"body": "payload", "extra_headers": ["NoColonHere"]},
        "/odd": {"body": "payload", "extra_headers": ["X-Empty:", "Content-Disposition: filename=",
                                                      "Content-Range: bytes garbage/zz"]}
    })");
    Downloader d(0, false, nullptr, nullptr, settings());
    for (const char* path : {"/garbage", "/badlength", "/nocolon"}) {
        DownloadResult r = Get(d, server->Url(path), "g.bin");
        EXPECT_FALSE(r.ok) << path;
        EXPECT_THAT(r.error, StartsWith("Error downloading page. Socket error #")) << path;
        EXPECT_FALSE(std::filesystem::exists(r.savedPath)) << path;
    }
    DownloadResult odd = InnerGet(d, server->Url("/odd"), "");
    ASSERT_TRUE(odd.ok) << odd.error;
    EXPECT_EQ(d.content, "payload\r\n");
    EXPECT_EQ(d.headerFileExt, "");
    EXPECT_EQ(d.expectedContentLength, 7);
}

struct DispositionCase {
    const char* header;
    const char* ext;
};

void PrintTo(const DispositionCase& c, std::ostream* os) {
    *os << c.header;
}

class DispositionTable : public DownloaderFixture, public ::testing::WithParamInterface<DispositionCase> {};

TEST_P(DispositionTable, ExtensionTakenOnlyFromASafeName) {
    Serve("f.bin", "0123456789");
    std::string header = GetParam().header;
    std::string escaped;
    for (char c : header) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
            escaped += code;
            continue;
        }
        escaped += c;
    }
    auto server = StartServer(R"({"/f.bin": {"content_disposition": ")" + escaped + R"("}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/f.bin"), Downloader::kProbeName);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(d.headerFileExt, GetParam().ext) << header;
}

INSTANTIATE_TEST_SUITE_P(
    Names, DispositionTable,
    ::testing::Values(DispositionCase{"attachment; filename=\"Setup.EXE\"", ".exe"},
                      DispositionCase{"attachment; filename=noextension", ""},
                      DispositionCase{"attachment; filename=\"../../evil.sh\"", ".sh"},
                      DispositionCase{"attachment; filename=\"..\\\\x.msi\"", ".msi"},
                      DispositionCase{"attachment; filename=\".hidden.exe\"", ""},
                      DispositionCase{"attachment; filename=\"a.verylongextension\"", ""},
                      DispositionCase{"attachment; filename=\"a.e$e\"", ""},
                      DispositionCase{"attachment; filename=\"a.exe \"; size=10", ".exe"},
                      // A control byte the server put at the end is part of the name, not a blank.
                      DispositionCase{"attachment; filename=\"a.exe\x1b\"", ""},
                      DispositionCase{"attachment; filename=\"..\"", ""}));

TEST(DownloaderNames, ServerFileNamesAreReducedOrRefused) {
    struct Case {
        std::string in;
        std::optional<std::string> out;
    };
    const std::vector<Case> cases = {
        {"setup.exe", "setup.exe"},
        {"../../setup.exe", "setup.exe"},
        {"/etc/passwd", "passwd"},
        {"C:\\Windows\\evil.dll", "evil.dll"},
        {"noext", "noext"},
        {"", std::nullopt},
        {"..", std::nullopt},
        {".", std::nullopt},
        {"../", std::nullopt},
        {".bashrc", std::nullopt},
        {"set\x01up.exe", std::nullopt},
        {"setup.exe\n", std::nullopt},
        {"setup.", std::nullopt},
        {"setup.toolongext", std::nullopt},
        {"setup.ex-e", std::nullopt},
        {"setup.12345678", "setup.12345678"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Downloader::SafeServerFileName(c.in), c.out) << "[" << c.in << "]";
    }
}

TEST(DownloaderNames, ServerPartOfKeepsSchemeHostAndSlash) {
    EXPECT_EQ(Downloader::serverPartOf("http://host.example/a/b.html"), "http://host.example/");
    EXPECT_EQ(Downloader::serverPartOf("https://host.example:8443/a?x=http://y/"),
              "https://host.example:8443/");
    EXPECT_EQ(Downloader::serverPartOf("http://host.example"), "http://host.example");
    EXPECT_EQ(Downloader::serverPartOf("http://host.example\\dir\\file"), "http://host.example\\");
}

TEST(DownloaderNames, RetryIsRefusedForTheFinalStatuses) {
    for (int status : {401, 402, 403, 404, 407, 409, 410, 413, 414, 415, 416, 417, 502}) {
        EXPECT_FALSE(Downloader::errorAllowsRetry(status)) << status;
    }
    for (int status : {0, 400, 405, 408, 411, 412, 418, 500, 501, 503, 504, 505}) {
        EXPECT_TRUE(Downloader::errorAllowsRetry(status)) << status;
    }
}

TEST_F(DownloaderTest, ReportHintNamesTheConfiguredAddressOrIsLeftOut) {
    const std::string hint = "Please report this error including the link you are trying to monitor to ";
    cfg_->support_email = "help@example.org";
    Downloader withAddress(0, false, nullptr, nullptr, settings());
    cfg_->support_email.clear();
    Downloader withoutAddress(0, false, nullptr, nullptr, settings());
    for (int status : {400, 405, 406, 411, 412, 413, 415, 417, 505}) {
        EXPECT_THAT(withAddress.StatusErrorText(status, status, ""),
                    ::testing::EndsWith(hint + "help@example.org"))
            << status;
        EXPECT_THAT(withoutAddress.StatusErrorText(status, status, ""), ::testing::Not(HasSubstr("report")))
            << status;
    }
    EXPECT_EQ(withoutAddress.StatusErrorText(400, 400, ""),
              "Error 400, Bad Request. The request was not understood by the server. ");
}

// An answer read into memory (the update check's) never grows past the limit, however much the server
// sends; an error page is kept up to the limit and not read further.
TEST_F(DownloaderTest, AnswerInMemoryStopsAtTheLimit) {
    auto server = StartServer(std::string(R"({"/huge": {"stream_length": 1073741824},)") +
                              R"("/bigerror": {"statuses": [503], "error_body": ")" +
                              std::string(2 * Downloader::kAnswerLimit, 'x') + R"("}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult huge = InnerGet(d, server->Url("/huge"), "");
    EXPECT_FALSE(huge.ok);
    EXPECT_FALSE(huge.lastErrorAllowsRetry);
    EXPECT_THAT(huge.error, HasSubstr("The answer is longer than 1048576 bytes."));
    EXPECT_TRUE(d.content.empty());
    EXPECT_EQ(server->RequestsFor("/huge").size(), 1u);

    DownloadResult page = InnerGet(d, server->Url("/bigerror"), "");
    EXPECT_TRUE(page.ok) << page.error;
    EXPECT_EQ(d.statusCode, 503);
    EXPECT_EQ(d.content, std::string(Downloader::kAnswerLimit, 'x') + "\r\n");
}

TEST_F(DownloaderTest, FileTargetIsWrittenUnderThePersonalFolderAsIdentity) {
    std::string data = RandomBytes(200000, 2);
    Serve("setup.exe", data);
    auto server = StartServer(R"({"/setup.exe": {"gzip": true}})");
    Downloader d(3, false, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/setup.exe"), "setup.exe");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(std::filesystem::path(r.savedPath), TargetFolder(3) / "setup");
    EXPECT_EQ(testsupport::ReadFile(r.savedPath), data);
    EXPECT_EQ(server->RequestsFor("/setup.exe").at(0).Header("accept-encoding"), "identity");
}

TEST_F(DownloaderTest, FileSentEncodedAgainstTheRequestIsRefused) {
    Serve("setup.exe", RandomBytes(5000, 3));
    auto server = StartServer(R"({"/setup.exe": {"gzip": "always"}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/setup.exe"), "setup.exe");
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(std::filesystem::exists(r.savedPath));
}

TEST_F(DownloaderTest, UnsafeSaveAsNamesAreReducedOrRefused) {
    Serve("f.bin", "data");
    auto server = StartServer("{}");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult reduced = Get(d, server->Url("/f.bin"), "../../outside.exe");
    ASSERT_TRUE(reduced.ok) << reduced.error;
    EXPECT_EQ(std::filesystem::path(reduced.savedPath), TargetFolder(0) / "outside");
    for (const char* name : {".profile", "bad\x01name.exe", "x.exe;rm"}) {
        DownloadResult r = Get(d, server->Url("/f.bin"), name);
        EXPECT_FALSE(r.ok) << name;
        EXPECT_THAT(r.error, HasSubstr("Refused the file name")) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(home_->root() / "personal" / "outside"));
}

TEST_F(DownloaderTest, BrokenRangeResumesWhereItStoppedAndIsByteExact) {
    std::string data = RandomBytes(100000, 4);
    Serve("f.bin", data);
    auto server = StartServer(R"({"/f.bin": {"break_after": 7000, "break_times": 2}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "7", 60000, 10000);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(testsupport::ReadFile(r.savedPath), data.substr(10000, 50001));
    auto requests = server->RequestsFor("/f.bin");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].Header("range"), "bytes=10000-60000");
    EXPECT_EQ(requests[1].Header("range"), "bytes=17000-60000");
    EXPECT_EQ(requests[2].Header("range"), "bytes=24000-60000");
}

TEST_F(DownloaderTest, BrokenWholeFileContinuesInsteadOfAppendingTwice) {
    std::string data = RandomBytes(80000, 5);
    Serve("f.bin", data);
    auto server = StartServer(R"({"/f.bin": {"break_after": 30000, "break_times": 1}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(testsupport::ReadFile(r.savedPath), data);
    auto requests = server->RequestsFor("/f.bin");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].HasHeader("range"));
    EXPECT_EQ(requests[1].Header("range"), "bytes=30000-");
}

TEST_F(DownloaderTest, RangeThatBringsNothingNewGivesUpAfterTwoPauses) {
    Serve("f.bin", RandomBytes(50000, 6));
    auto server = StartServer(R"({"/f.bin": {"break_after": 0}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/f.bin"), "0", 20000, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.lastErrorAllowsRetry);
    EXPECT_THAT(r.error, StartsWith("Error downloading page. Socket error #"));
    EXPECT_EQ(server->RequestsFor("/f.bin").size(), 3u);
}

struct BadRangeCase {
    const char* name;
    const char* route;
};

void PrintTo(const BadRangeCase& c, std::ostream* os) {
    *os << c.name;
}

class BadRangeTable : public DownloaderFixture, public ::testing::WithParamInterface<BadRangeCase> {};

TEST_P(BadRangeTable, PartIsRefusedAndNoFileRemains) {
    Serve("f.bin", RandomBytes(50000, 7));
    auto server = StartServer(std::string(R"({"/f.bin": )") + GetParam().route + "}");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "1", 30000, 10000);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(d.rangeRefused());
    EXPECT_FALSE(std::filesystem::exists(r.savedPath));
    EXPECT_EQ(server->RequestsFor("/f.bin").size(), 1u);  // no point asking again
}

INSTANTIATE_TEST_SUITE_P(Servers, BadRangeTable,
                         ::testing::Values(BadRangeCase{"IgnoresRange", R"({"ignore_range": true})"},
                                           BadRangeCase{"WrongContentRange", R"({"wrong_range": true})"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, RedirectsAreFollowedAndReported) {
    Serve("f.txt", "target");
    auto server = StartServer(R"({
        "/temp": {"redirect": "/f.txt", "redirect_status": 302},
        "/perm": {"redirect": "{http}/f.txt", "redirect_status": 301, "redirect_body": "moved, see elsewhere"},
        "/rel": {"redirect": "f.txt", "redirect_status": 307}
    })");
    struct Case {
        const char* path;
        bool temp;
    };
    for (Case c : {Case{"/temp", true}, Case{"/perm", false}, Case{"/rel", true}}) {
        Downloader d(0, false, nullptr, nullptr, settings());
        DownloadResult r = InnerGet(d, server->Url(c.path), "");
        ASSERT_TRUE(r.ok) << c.path << ": " << r.error;
        EXPECT_EQ(d.content, "target\r\n") << c.path;
        EXPECT_EQ(r.tempRedirect, c.temp) << c.path;
        EXPECT_EQ(r.redirectedTo, server->Url("/f.txt")) << c.path;
        EXPECT_EQ(d.expectedContentLength, 6) << c.path;
    }
}

TEST_F(DownloaderTest, RedirectsToOtherSchemesOrDownToHttpAreRefused) {
    Serve("f.txt", "target");
    auto server = StartServer(R"({
        "/ftp": {"redirect": "ftp://127.0.0.1/f.txt"},
        "/local": {"redirect": "file:///etc/passwd"},
        "/down": {"redirect": "{http}/f.txt"},
        "/up": {"redirect": "{https}/f.txt"}
    })",
                              true);
    Downloader::SetExtraCAFile(server->CaFile().string());
    for (std::string url : {server->Url("/ftp"), server->Url("/local"), server->TlsUrl("/down")}) {
        Downloader d(0, false, nullptr, nullptr, settings());
        DownloadResult r = InnerGet(d, url, "");
        EXPECT_FALSE(r.ok) << url;
        EXPECT_FALSE(r.lastErrorAllowsRetry) << url;
        EXPECT_THAT(r.error, HasSubstr("Refused to follow the redirect")) << url;
    }
    EXPECT_TRUE(server->RequestsFor("/f.txt").empty());

    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult up = InnerGet(d, server->Url("/up"), "");
    ASSERT_TRUE(up.ok) << up.error;
    EXPECT_EQ(d.content, "target\r\n");
}

TEST_F(DownloaderTest, HttpsWorksWithTheTrustedCaAndFailsClearlyWithout) {
    std::string data = RandomBytes(40000, 8);
    Serve("f.bin", data);
    auto server = StartServer("{}", true);

    Downloader untrusted(0, false, nullptr, nullptr, settings());
    DownloadResult bad = Get(untrusted, server->TlsUrl("/f.bin"), "f.bin");
    EXPECT_FALSE(bad.ok);
    EXPECT_THAT(bad.error, HasSubstr("certificate"));
    EXPECT_FALSE(std::filesystem::exists(bad.savedPath));

    Downloader::SetExtraCAFile(server->CaFile().string());
    Downloader trusted(0, false, nullptr, nullptr, settings());
    DownloadResult good = Get(trusted, server->TlsUrl("/f.bin"), "f.bin");
    ASSERT_TRUE(good.ok) << good.error;
    EXPECT_EQ(testsupport::ReadFile(good.savedPath), data);
}

TEST_F(DownloaderTest, SilentServerTimesOut) {
    cfg_->Preferences.TimeoutSeconds = 1;
    auto server = StartServer(R"({"/slow": {"body": "0123456789", "stall_after": 2, "stall_seconds": 30}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/slow"), "");
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.error, StartsWith("Error downloading page. Socket error #"));
}

TEST_F(DownloaderTest, ProgressReachesTheOwnerRecord) {
    std::string data = RandomBytes(300000, 9);
    Serve("f.bin", data);
    auto server = StartServer("{}");
    RecordingProgress progress;
    Downloader d(0, false, &progress, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(progress.total(), 300000);
    EXPECT_EQ(progress.done(), 300000);
}

TEST_F(DownloaderTest, ConfiguredProxyCarriesPlainHttpRequests) {
    Serve("f.txt", "through the proxy");
    auto server = StartServer("{}");
    cfg_->UseProxy = true;
    cfg_->HttpProxyHost = "127.0.0.1";
    cfg_->HttpProxyPort = server->Port();
    cfg_->HttpsProxyHost = "192.0.2.1";  // must not be used for a plain http address
    cfg_->HttpsProxyPort = 9;
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, "http://download.example.invalid/f.txt", "");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(d.content, "through the proxy\r\n");
    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "http://download.example.invalid/f.txt");
}

TEST_F(DownloaderTest, PageThatAlwaysBreaksEndsAfterAFewRequests) {
    Serve("page.txt", RandomBytes(20000, 19));
    auto server = StartServer(R"({"/page.txt": {"break_after": 100}})");
    Downloader d(0, false, nullptr, nullptr, settings());
    DownloadResult r = InnerGet(d, server->Url("/page.txt"), "");
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.error, StartsWith("Error downloading page. Socket error #"));
    // A page in memory starts over with each request, so breaks never count as progress.
    EXPECT_LE(server->RequestsFor("/page.txt").size(), 4u);
}

}  // namespace
}  // namespace pollwick::testing
