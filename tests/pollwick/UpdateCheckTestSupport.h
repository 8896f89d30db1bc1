// What the update-check, queue and offer-window tests share: a private home with a program folder that
// holds "updates.cfg", the process's Configuration loaded from it, and helpers that build answers and
// server scripts.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pollwick/CheckForUpdates.h"
#include "pollwick/Configuration.h"
#include "pollwick/Downloader.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestEnv.h"

namespace pollwick::testing {

// "~key^value^key~" for each pair, in the order given.
inline std::string TaggedAnswer(const std::vector<std::pair<std::string, std::string>>& values) {
    std::string body;
    for (const auto& [key, value] : values) {
        body += "~" + key + "^" + value + "^" + key + "~";
    }
    return body;
}

// A JSON string literal (with quotes) of text; bytes above 0x7F become \u00XX, which the test server
// turns back into the same bytes (it encodes bodies as Latin-1).
inline std::string JsonString(const std::string& text) {
    static const char* const kHex = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A server script that answers path with body.
inline std::string BodyScript(const std::string& path, const std::string& body) {
    return "{" + JsonString(path) + ": {\"body\": " + JsonString(body) + "}}";
}

// Server options with a script and everything else at its default.
inline testsupport::HttpServerOptions ScriptOptions(const std::string& scriptJson) {
    testsupport::HttpServerOptions options;
    options.scriptJson = scriptJson;
    return options;
}

struct UpdatesCfg {
    std::string name = "Foo";
    std::string url;
    std::string id = "foo-app";
    std::string version = "1.0b";
    std::string version_txt = "1.0 (build 7)";
    std::string language = "en";
    std::string aff;

    std::string text() const {
        return "name=" + name + "\nurl=" + url + "\nid=" + id + "\nversion=" + version +
               "\nversion_txt=" + version_txt + "\nlanguage=" + language + "\naff=" + aff + "\n";
    }
};

// A private home, a program folder with "updates.cfg" and a state file to start from.
class PollwickHome {
public:
    PollwickHome() {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
            proxyEnv_.push_back(std::make_unique<testsupport::ScopedEnv>(name, std::nullopt));
        }
        std::filesystem::create_directories(programFolder());
        std::filesystem::create_directories(home_.tmpDir());
    }

    const testsupport::IsolatedHome& home() const { return home_; }
    std::filesystem::path programFolder() const { return home_.root() / "program"; }
    std::filesystem::path stateFile(const std::string& name = "Foo") const {
        return home_.configHome() / name / "updcheck.cfg";
    }

    void writeUpdatesCfg(const UpdatesCfg& cfg) {
        testsupport::WriteFile(programFolder() / "updates.cfg", cfg.text());
    }
    void writeState(const std::string& text, const std::string& name = "Foo") {
        testsupport::WriteFile(stateFile(name), text);
    }

    // Builds the process's Configuration from the program folder (as the program's start does).
    Configuration& loadConfiguration() {
        config = nullptr;
        cfg_ = std::make_unique<Configuration>(programFolder());
        cfg_->UseProxy = false;
        // Only a hang guard: the tests of time-outs set their own, and a loaded machine may take seconds
        // to load the CA bundle and finish a handshake.
        cfg_->Preferences.TimeoutSeconds = 60;
        cfg_->Preferences.Attempts = 1;
        config = cfg_.get();
        return *cfg_;
    }

    ~PollwickHome() {
        config = nullptr;
        DestroyUniqueWindow();
        killed.store(false);
    }

private:
    testsupport::IsolatedHome home_;
    std::vector<std::unique_ptr<testsupport::ScopedEnv>> proxyEnv_;
    std::unique_ptr<Configuration> cfg_;
};

}  // namespace pollwick::testing
