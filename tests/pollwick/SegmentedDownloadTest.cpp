// Downloads through the probe, the part threads and the merge, against a local server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "tests/pollwick/DownloaderTestSupport.h"

namespace pollwick::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class SegmentedDownloadTest : public DownloaderFixture {
protected:
    // Names in the download folder of worker n, hidden ones included.
    std::set<std::string> FolderEntries(int n) const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(TargetFolder(n), ec)) {
            names.insert(e.path().filename().string());
        }
        return names;
    }
};

TEST(SegmentedLayout, PartsFollowTheLengthRules) {
    using Parts = std::vector<std::pair<int64_t, int64_t>>;
    EXPECT_EQ(Downloader::Layout(300000), (Parts{{0, 100000}, {100001, 200000}, {200001, 300000}}));
    EXPECT_EQ(Downloader::Layout(1000000),
              (Parts{{0, 200000}, {200001, 400000}, {400001, 600000}, {600001, 800000}, {800001, 1000000}}));
    EXPECT_EQ(Downloader::Layout(50000), (Parts{{0, 50000}}));
    EXPECT_EQ(Downloader::Layout(120000), (Parts{{0, 100000}, {100001, 120000}}));

    Parts big = Downloader::Layout(4510000);
    ASSERT_EQ(big.size(), 6u);
    EXPECT_EQ(big.front(), (std::pair<int64_t, int64_t>{0, 750000}));
    EXPECT_EQ(big.back().second, 4510000);
    EXPECT_EQ(Downloader::Layout(10000000).size(), 14u);

    for (int64_t length : {1, 2, 99999, 100000, 100001, 119999}) {
        EXPECT_EQ(Downloader::Layout(length), (Parts{{0, length}})) << length;
    }
}

TEST(SegmentedLayout, PartsCoverEveryByteOnceForManyLengths) {
    for (int64_t length : {1LL, 19999LL, 120000LL, 139999LL, 140000LL, 3750001LL, 5242880LL, 6000000000LL}) {
        auto parts = Downloader::Layout(length);
        int64_t next = 0;
        for (auto [start, end] : parts) {
            EXPECT_EQ(start, next) << length;
            EXPECT_LE(end - start + 1, 750000 + 20000) << length;
            next = end + 1;
        }
        EXPECT_EQ(parts.back().second, length) << length;  // the last part asks up to the length itself
    }
}

TEST_F(SegmentedDownloadTest, FiveMegabytesArriveThroughFiveParallelPartsByteExact) {
    const std::string data = RandomBytes(5 * 1024 * 1024, 10);
    Serve("setup.exe", data);
    // A per-connection rate makes the parts overlap, as on a real link.
    auto server = StartServer(R"({"/setup.exe": {"rate": 4000000}})");
    RecordingProgress progress;
    Downloader d(1, true, &progress, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/setup.exe"), "setup.exe");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(fs::path(r.savedPath), TargetFolder(1) / "setup.exe");
    EXPECT_TRUE(testsupport::ReadFile(r.savedPath) == data);

    auto requests = server->RequestsFor("/setup.exe");
    auto layout = Downloader::Layout(static_cast<int64_t>(data.size()));
    ASSERT_GE(requests.size(), layout.size() + 1);
    EXPECT_EQ(requests[0].Header("range"), "bytes=0-1");
    std::set<std::string> askedStarts;
    std::set<int> connections;
    for (size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].Header("accept-encoding"), "identity");
        const std::string range = requests[i].Header("range");
        askedStarts.insert(range.substr(0, range.find('-')));
        connections.insert(requests[i].connection);
    }
    // Every part is asked for from its first byte; its end may have moved down when an idle thread
    // took over the part's tail. Those extra pieces are all the requests beyond the layout.
    for (auto [start, end] : layout) {
        EXPECT_TRUE(askedStarts.count("bytes=" + std::to_string(start))) << start << "-" << end;
    }
    const size_t pieces = requests.size() - 1 - layout.size();
    // Each thread keeps its connection across its parts; only a part cut short loses its connection.
    EXPECT_LE(connections.size(), Downloader::kPartThreads + pieces);
    // The server may still be sending the rest of a cut part when its piece is asked for.
    EXPECT_LE(server->MaxInFlight(), static_cast<int>(Downloader::kPartThreads + pieces));

    // Only the result is left: no part file, no part folder.
    EXPECT_EQ(FolderEntries(1), (std::set<std::string>{"setup.exe"}));
    EXPECT_EQ(progress.total(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(progress.done(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(d.partsReceivedSum(), static_cast<int64_t>(data.size()));
}

TEST_F(SegmentedDownloadTest, BrokenPartsResumeAndTheResultIsByteExact) {
    const std::string data = RandomBytes(600000, 11);
    Serve("f.bin", data);
    auto server = StartServer(R"({"/f.bin": {"break_after": 45000, "break_times": 4}})");
    Downloader d(2, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(testsupport::ReadFile(r.savedPath) == data);
    // Which parts the server breaks depends on the order their requests arrive in; every broken part
    // continues 45000 bytes after its start, up to its own end.
    std::set<std::string> resumeRanges;
    for (auto [start, end] : Downloader::Layout(static_cast<int64_t>(data.size()))) {
        resumeRanges.insert("bytes=" + std::to_string(start + 45000) + "-" + std::to_string(end));
    }
    int resumed = 0;
    for (const auto& req : server->RequestsFor("/f.bin")) {
        resumed += static_cast<int>(resumeRanges.count(req.Header("range")));
    }
    EXPECT_GE(resumed, 1);
}

TEST_F(SegmentedDownloadTest, ServerExtensionReplacesTheSaveAsExtension) {
    Serve("dl", RandomBytes(150000, 12));
    auto server =
        StartServer(R"({"/dl": {"content_disposition": "attachment; filename=\"Installer.MSI\""}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/dl"), "setup.exe");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(fs::path(r.savedPath).filename(), "setup.msi");
}

TEST_F(SegmentedDownloadTest, UndeletableResultNameGetsTheNextFreeNumber) {
    Serve("f.bin", RandomBytes(150000, 13));
    auto server = StartServer("{}");
    fs::create_directories(TargetFolder(0) / "setup.exe" / "blocker");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "setup.exe");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(fs::path(r.savedPath), TargetFolder(0) / "setup_0.exe");
}

struct FallbackCase {
    const char* name;
    const char* route;
};

void PrintTo(const FallbackCase& c, std::ostream* os) {
    *os << c.name;
}

class WholeRequestFallback : public SegmentedDownloadTest,
                             public ::testing::WithParamInterface<FallbackCase> {};

// A server that does not honour ranges still gives the right file, through one whole request.
TEST_P(WholeRequestFallback, RightFileThroughOneWholeRequest) {
    const std::string data = RandomBytes(400000, 14);
    Serve("f.bin", data);
    auto server = StartServer(std::string(R"({"/f.bin": )") + GetParam().route + "}");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(testsupport::ReadFile(r.savedPath) == data);
    auto requests = server->RequestsFor("/f.bin");
    ASSERT_FALSE(requests.empty());
    EXPECT_FALSE(requests.back().HasHeader("range"));
    EXPECT_EQ(FolderEntries(0), (std::set<std::string>{fs::path(r.savedPath).filename().string()}));
}

INSTANTIATE_TEST_SUITE_P(Servers, WholeRequestFallback,
                         ::testing::Values(FallbackCase{"IgnoresRange", R"({"ignore_range": true})"},
                                           FallbackCase{"WrongRangeEverywhere", R"({"wrong_range": true})"},
                                           FallbackCase{"WrongRangeForLaterParts",
                                                        R"({"wrong_range_from": 100})"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SegmentedDownloadTest, FileShorterThanTheProbeSaidIsNeverASuccess) {
    const std::string data = RandomBytes(300000, 15);
    Serve("f.bin", data);
    auto server = StartServer(R"({"/f.bin": {"announce_total": 310000}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(FolderEntries(0).empty());
}

TEST_F(SegmentedDownloadTest, OneFailingPartFailsTheDownloadAfterTheOthersAreFetched) {
    Serve("f.bin", RandomBytes(500000, 16));
    auto server = StartServer(R"({"/f.bin": {"range_status_from": {"start": 300000, "status": 404}}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    EXPECT_FALSE(r.ok);
    std::set<std::string> asked;
    for (const auto& req : server->RequestsFor("/f.bin")) {
        asked.insert(req.Header("range"));
    }
    for (auto [start, end] : Downloader::Layout(500000)) {
        EXPECT_TRUE(asked.count("bytes=" + std::to_string(start) + "-" + std::to_string(end))) << start;
    }
    EXPECT_TRUE(FolderEntries(0).empty());
}

TEST_F(SegmentedDownloadTest, ForbiddenProbeIsReportedForTheQueueToRetry) {
    Serve("f.bin", RandomBytes(1000, 17));
    auto server = StartServer(R"({"/f.bin": {"statuses": [403]}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin?id=1#anchor"), "f.bin");
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.error, HasSubstr("Error 403"));
    EXPECT_EQ(d.statusCode, 403);
    auto requests = server->RequestsFor("/f.bin");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/f.bin?id=1");
}

TEST_F(SegmentedDownloadTest, HttpsDownloadWithTheTestCa) {
    const std::string data = RandomBytes(350000, 18);
    Serve("f.bin", data);
    auto server = StartServer("{}", true);
    Downloader::SetExtraCAFile(server->CaFile().string());
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->TlsUrl("/f.bin"), "f.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(testsupport::ReadFile(r.savedPath) == data);
}

TEST_F(SegmentedDownloadTest, ProbeWithoutLengthFallsBackToOneRequest) {
    auto server =
        StartServer(R"({"/nolen": {"raw": "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nstreamed body"}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/nolen"), "f.txt");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(testsupport::ReadFile(r.savedPath), "streamed body");
    EXPECT_EQ(fs::path(r.savedPath).filename(), "f.txt");
}

// Whichever way the file came, in parts or whole, it gets the same name and extension.
TEST_F(SegmentedDownloadTest, WholeFileKeepsTheExtensionOfThePartedOne) {
    Serve("f.bin", RandomBytes(300000, 20));
    auto parted = StartServer("{}");
    Downloader d1(0, true, nullptr, nullptr, settings());
    DownloadResult inParts = Get(d1, parted->Url("/f.bin"), "ProbeSetup.sh");
    ASSERT_TRUE(inParts.ok) << inParts.error;
    auto whole = StartServer(R"({"/f.bin": {"ignore_range": true}})");
    Downloader d2(1, true, nullptr, nullptr, settings());
    DownloadResult inOne = Get(d2, whole->Url("/f.bin"), "ProbeSetup.sh");
    ASSERT_TRUE(inOne.ok) << inOne.error;
    EXPECT_EQ(fs::path(inParts.savedPath).filename(), "ProbeSetup.sh");
    EXPECT_EQ(fs::path(inOne.savedPath).filename(), "ProbeSetup.sh");
}

// The tail of a slow part is taken over by a thread that has nothing left to do; the pieces join up.
TEST_F(SegmentedDownloadTest, IdleThreadsTakeOverTheTailOfTheLastPartsByteExact) {
    // Six parts of 750000 bytes: the sixth runs alone while five threads would wait.
    const std::string data = RandomBytes(4510000, 21);
    Serve("f.bin", data);
    auto server = StartServer(R"({"/f.bin": {"rate": 1000000}})");
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(testsupport::ReadFile(r.savedPath) == data);
    auto requests = server->RequestsFor("/f.bin");
    // At least one piece was split off: more part requests than the layout's six.
    EXPECT_GT(requests.size() - 1, Downloader::Layout(4510000).size());
    EXPECT_EQ(FolderEntries(0), (std::set<std::string>{"f.bin"}));
}

// A server that breaks every part off after a byte: the download ends with a clear error long before
// it has hammered the server, and leaves no part behind.
TEST_F(SegmentedDownloadTest, ServerBreakingOffAfterEveryByteFailsAfterFewRequests) {
    Serve("f.bin", RandomBytes(5 * 1024 * 1024, 22));
    auto server = StartServer(R"({"/f.bin": {"break_after": 1, "break_min_body": 2}})");
    cfg_->Preferences.Attempts = 3;
    Downloader d(0, true, nullptr, nullptr, settings());
    DownloadResult r = Get(d, server->Url("/f.bin"), "f.bin");
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.error, HasSubstr("times without sending enough data"));
    const size_t requests = server->RequestsFor("/f.bin").size();
    EXPECT_LT(requests, 100u);
    std::printf("requests before the download failed: %zu\n", requests);
    EXPECT_GE(requests, static_cast<size_t>(Downloader::kNoProgressLimit));
    EXPECT_TRUE(FolderEntries(0).empty());
}

}  // namespace
}  // namespace pollwick::testing
