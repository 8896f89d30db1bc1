// Runs tests/support/http_server.py for one test: a local HTTP (and optionally HTTPS) server on
// 127.0.0.1 with ports chosen by the system, killed and reaped when the object goes away.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TestEnv.h"

namespace testsupport {

struct HttpServerOptions {
    std::filesystem::path root;     // files served by path; empty: the server's own private folder
    std::string scriptJson = "{}";  // per-path behaviour, see http_server.py
    bool tls = false;               // also serve HTTPS with a CA made for this run
    int lifetimeSeconds = 120;      // the server ends by itself after this long
};

// One request as the server logged it.
struct LoggedRequest {
    std::string method;
    std::string target;   // path and query as sent
    std::string version;  // "HTTP/1.1" or "HTTP/1.0"
    int connection = 0;
    bool tls = false;
    int maxInFlight = 0;                         // high-water mark of requests in flight so far
    std::map<std::string, std::string> headers;  // names lower-cased

    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const { return headers.count(name) != 0; }
};

class HttpServer {
public:
    explicit HttpServer(HttpServerOptions options = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int Port() const { return port_; }
    int TlsPort() const { return tlsPort_; }
    // "http://127.0.0.1:<port>" + path, and "https://localhost:<tls port>" + path.
    std::string Url(const std::string& path) const;
    std::string TlsUrl(const std::string& path) const;
    // The CA that signed the HTTPS certificate (only with tls).
    std::filesystem::path CaFile() const { return dir_ / "tls/ca.pem"; }
    const std::filesystem::path& Root() const { return root_; }

    std::vector<LoggedRequest> Requests() const;
    std::vector<LoggedRequest> RequestsFor(const std::string& path) const;
    int MaxInFlight() const;

private:
    TempDir dir_;
    std::filesystem::path root_;
    pid_t pid_ = -1;
    int port_ = 0;
    int tlsPort_ = 0;
};

}  // namespace testsupport
