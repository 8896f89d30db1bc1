// What the downloader tests share: a private home with Pollwick's settings pointed into it, random
// files, and a progress record that remembers what it was told.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "pollwick/Configuration.h"
#include "pollwick/Downloader.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestEnv.h"

namespace pollwick::testing {

inline std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string data(size, '\0');
    for (auto& c : data) {
        c = static_cast<char>(gen() & 0xff);
    }
    return data;
}

class RecordingProgress : public DownloadProgressSink {
public:
    void locked_setProgress(int64_t total, int64_t done) override {
        std::lock_guard guard(lock_);
        total_ = total;
        done_ = done;
        ++calls_;
    }
    int64_t total() const {
        std::lock_guard guard(lock_);
        return total_;
    }
    int64_t done() const {
        std::lock_guard guard(lock_);
        return done_;
    }
    int calls() const {
        std::lock_guard guard(lock_);
        return calls_;
    }

private:
    mutable std::mutex lock_;  // guards the three values
    int64_t total_ = 0;
    int64_t done_ = 0;
    int calls_ = 0;
};

// Every test gets its own home, its own Configuration as the program's one, no proxy from the
// environment, and short time-outs.
class DownloaderFixture : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<testsupport::IsolatedHome>();
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
            proxyEnv_.push_back(std::make_unique<testsupport::ScopedEnv>(name, std::nullopt));
        }
        std::filesystem::create_directories(home_->root() / "program");
        cfg_ = std::make_unique<Configuration>(home_->root() / "program");
        cfg_->UseProxy = false;
        cfg_->Preferences.PersonalFolder = (home_->root() / "personal").string() + "/";
        // Only a hang guard: the tests of time-outs set their own, and a loaded machine may take seconds
        // to load the CA bundle and finish a handshake.
        cfg_->Preferences.TimeoutSeconds = 60;
        cfg_->Preferences.Attempts = 1;
        config = cfg_.get();
        Downloader::SetExtraCAFile("");
    }

    void TearDown() override {
        Downloader::SetExtraCAFile("");
        config = nullptr;
        cfg_.reset();
        proxyEnv_.clear();
        home_.reset();
    }

    // Starts a server with the given script, serving files from a private root.
    std::unique_ptr<testsupport::HttpServer> StartServer(const std::string& scriptJson, bool tls = false) {
        testsupport::HttpServerOptions options;
        options.root = home_->root() / "www";
        options.scriptJson = scriptJson;
        options.tls = tls;
        options.lifetimeSeconds = 240;
        return std::make_unique<testsupport::HttpServer>(options);
    }

    // Writes a file the server will serve under "/<name>".
    void Serve(const std::string& name, const std::string& data) {
        testsupport::WriteFile(home_->root() / "www" / name, data);
    }

    // The settings a download started now takes from the test's Configuration.
    DownloadSettings settings() const { return cfg_->ToDownloadSettings(); }
    std::filesystem::path TargetFolder(int threadNum) const { return settings().TargetFolder(threadNum); }

    std::unique_ptr<testsupport::IsolatedHome> home_;
    std::vector<std::unique_ptr<testsupport::ScopedEnv>> proxyEnv_;
    std::unique_ptr<Configuration> cfg_;
};

// The request the callers make for a URL, a save-as name and a range.
inline DownloadRequest Request(const std::string& url, const std::string& name, int64_t rangeEnd,
                               int64_t rangeStart) {
    DownloadRequest request;
    request.url = url;
    request.saveToFilename = name;
    request.rangeEnd = rangeEnd;
    request.rangeStart = rangeStart;
    return request;
}

inline DownloadResult InnerGet(Downloader& d, const std::string& url, const std::string& name,
                               int64_t rangeEnd = 0, int64_t rangeStart = 0) {
    return d.innerGet(Request(url, name, rangeEnd, rangeStart));
}

inline DownloadResult Get(Downloader& d, const std::string& url, const std::string& name,
                          int64_t rangeEnd = -1, int64_t rangeStart = -1) {
    return d.get(Request(url, name, rangeEnd, rangeStart));
}

}  // namespace pollwick::testing
