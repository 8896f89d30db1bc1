#include "tests/support/HttpServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

namespace {

constexpr int kStartTimeoutMs = 30000;

class Pipe {
public:
    Pipe() {
        if (pipe2(fds_, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int ReadEnd() const { return fds_[0]; }
    int WriteEnd() const { return fds_[1]; }
    void CloseRead() { CloseFd(fds_[0]); }
    void CloseWrite() { CloseFd(fds_[1]); }

private:
    static void CloseFd(int& fd) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    int fds_[2] = {-1, -1};
};

pid_t Spawn(const std::vector<std::string>& argv, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("could not start the test HTTP server");
    }
    return pid;
}

// Reads the first line the server prints, waiting at most kStartTimeoutMs.
std::string ReadFirstLine(int fd) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            break;
        }
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        line.append(buf, static_cast<size_t>(n));
    }
    return line;
}

void KillAndReap(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void WriteScript(const fs::path& file, const std::string& json) {
    WriteFile(file, json);
}

LoggedRequest ParseLine(const std::string& line) {
    LoggedRequest r;
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        fields.push_back(field);
    }
    if (fields.size() < 6) {
        return r;
    }
    r.method = fields[0];
    r.target = fields[1];
    r.version = fields[2];
    r.connection = std::stoi(fields[3]);
    r.tls = fields[4] == "1";
    r.maxInFlight = std::stoi(fields[5]);
    for (size_t i = 6; i < fields.size(); ++i) {
        auto eq = fields[i].find('=');
        if (eq != std::string::npos) {
            r.headers[fields[i].substr(0, eq)] = fields[i].substr(eq + 1);
        }
    }
    return r;
}

}  // namespace

std::string LoggedRequest::Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

HttpServer::HttpServer(HttpServerOptions options) {
    root_ = options.root.empty() ? dir_ / "root" : options.root;
    fs::create_directories(root_);
    WriteScript(dir_ / "script.json", options.scriptJson);
    std::vector<std::string> argv{"python3",    (SupportDir() / "http_server.py").string(),
                                  "--root",     root_.string(),
                                  "--script",   (dir_ / "script.json").string(),
                                  "--log",      (dir_ / "requests.log").string(),
                                  "--lifetime", std::to_string(options.lifetimeSeconds)};
    if (options.tls) {
        argv.push_back("--tls-dir");
        argv.push_back((dir_ / "tls").string());
    }
    Pipe out;
    pid_ = Spawn(argv, out.WriteEnd());
    out.CloseWrite();
    std::string line = ReadFirstLine(out.ReadEnd());
    if (std::sscanf(line.c_str(), "PORT %d %d", &port_, &tlsPort_) != 2 || port_ <= 0) {
        KillAndReap(pid_);
        pid_ = -1;
        throw std::runtime_error("the test HTTP server did not report its port: " + line);
    }
}

HttpServer::~HttpServer() {
    KillAndReap(pid_);
}

std::string HttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string HttpServer::TlsUrl(const std::string& path) const {
    return "https://localhost:" + std::to_string(tlsPort_) + path;
}

std::vector<LoggedRequest> HttpServer::Requests() const {
    std::vector<LoggedRequest> all;
    std::stringstream in(ReadFile(dir_ / "requests.log"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            all.push_back(ParseLine(line));
        }
    }
    return all;
}

std::vector<LoggedRequest> HttpServer::RequestsFor(const std::string& path) const {
    std::vector<LoggedRequest> matching;
    for (auto& r : Requests()) {
        std::string p = r.target.substr(0, r.target.find('?'));
        if (p == path) {
            matching.push_back(std::move(r));
        }
    }
    return matching;
}

int HttpServer::MaxInFlight() const {
    int most = 0;
    for (const auto& r : Requests()) {
        most = std::max(most, r.maxInFlight);
    }
    return most;
}

}  // namespace testsupport
