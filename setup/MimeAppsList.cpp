#include "setup/MimeAppsList.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

#include "setup/TextSplit.h"
#include "winutils/Winutils_filesfolders.h"
#include "winutils/Winutils_string.h"

namespace setup {

namespace {

namespace fs = std::filesystem;
using winutils::Trim;

bool IsSection(const std::string& line) {
    const std::string trimmed = Trim(line);
    return !trimmed.empty() && trimmed.front() == '[';
}

// The key of a "key=value" line, trimmed; "" for other lines.
std::string KeyOf(const std::string& line) {
    if (IsSection(line) || Trim(line).empty() || Trim(line)[0] == '#') {
        return "";
    }
    const size_t equals = line.find('=');
    return equals == std::string::npos ? "" : Trim(line.substr(0, equals));
}

}  // namespace

MimeAppsList::MimeAppsList(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines_.push_back(line);
    }
    finalLineEnd_ = text.empty() || text.back() == '\n';
}

std::string MimeAppsList::Text() const {
    std::string text;
    for (size_t i = 0; i < lines_.size(); ++i) {
        text += lines_[i];
        if (i + 1 < lines_.size() || finalLineEnd_) {
            text += '\n';
        }
    }
    return text;
}

int MimeAppsList::DefaultSection() const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (Trim(lines_[i]) == kDefaultApplications) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int MimeAppsList::FindDefaultLine(const std::string& type) const {
    const int section = DefaultSection();
    if (section < 0) {
        return -1;
    }
    for (size_t i = static_cast<size_t>(section) + 1; i < lines_.size() && !IsSection(lines_[i]); ++i) {
        if (::strcasecmp(KeyOf(lines_[i]).c_str(), type.c_str()) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::vector<std::string> MimeAppsList::Defaults(const std::string& type) const {
    const int line = FindDefaultLine(type);
    std::vector<std::string> ids;
    if (line < 0) {
        return ids;
    }
    const std::string& text = lines_[static_cast<size_t>(line)];
    for (const std::string& id : SplitAt(text.substr(text.find('=') + 1), ';')) {
        if (!Trim(id).empty()) {
            ids.push_back(Trim(id));
        }
    }
    return ids;
}

bool MimeAppsList::PutDefaultFirst(const std::string& type, const std::string& id) {
    const std::vector<std::string> ids = Defaults(type);
    if (!ids.empty() && ids.front() == id) {
        return false;
    }
    RemoveDefault(type, id);
    const int line = FindDefaultLine(type);
    if (line >= 0) {
        // The earlier ids keep their spelling, so taking ours out again restores the line as it was.
        std::string& text = lines_[static_cast<size_t>(line)];
        const size_t valueStart = text.find_first_not_of(" \t", text.find('=') + 1);
        text.insert(valueStart == std::string::npos ? text.size() : valueStart, id + ";");
        return true;
    }
    int section = DefaultSection();
    if (section < 0) {
        if (!finalLineEnd_ && !lines_.empty()) {
            finalLineEnd_ = true;
        }
        lines_.push_back(kDefaultApplications);
        section = static_cast<int>(lines_.size()) - 1;
    }
    // After the section's last entry, ahead of the blank lines that separate it from the next section.
    size_t at = static_cast<size_t>(section) + 1;
    for (size_t i = at; i < lines_.size() && !IsSection(lines_[i]); ++i) {
        if (!Trim(lines_[i]).empty()) {
            at = i + 1;
        }
    }
    lines_.insert(lines_.begin() + static_cast<long>(at), type + "=" + id + ";");
    return true;
}

bool MimeAppsList::RemoveDefault(const std::string& type, const std::string& id) {
    const int line = FindDefaultLine(type);
    if (line < 0) {
        return false;
    }
    std::string& text = lines_[static_cast<size_t>(line)];
    // The blanks after "=" stay where they were.
    const size_t equals = text.find('=') + 1;
    const size_t valueStart = std::min(text.find_first_not_of(" \t", equals), text.size());
    std::vector<std::string> ids = SplitAt(text.substr(valueStart), ';');
    std::vector<std::string> kept;
    bool anyLeft = false;
    for (const std::string& each : ids) {
        if (Trim(each) != id) {
            kept.push_back(each);
            anyLeft = anyLeft || !Trim(each).empty();
        }
    }
    if (kept.size() == ids.size()) {
        return false;
    }
    if (anyLeft) {
        std::string value;
        for (size_t i = 0; i < kept.size(); ++i) {
            value += (i > 0 ? ";" : "") + kept[i];
        }
        text = text.substr(0, valueStart) + value;
        return true;
    }
    lines_.erase(lines_.begin() + line);
    const int section = DefaultSection();
    const size_t next = static_cast<size_t>(section) + 1;
    if (section >= 0 && (next == lines_.size() || IsSection(lines_[next]))) {
        lines_.erase(lines_.begin() + section);
    }
    return true;
}

bool ReadWholeFile(const fs::path& file, std::string& text) {
    text.clear();
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return !ec;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return !in.bad();
}

bool ReplaceFileAtomically(const fs::path& file, const std::string& text, std::string& error) {
    std::error_code ec;
    fs::path target = file;
    if (fs::is_symlink(file, ec)) {
        target = fs::weakly_canonical(file, ec);
        if (ec) {
            error = "cannot follow the link: " + ec.message();
            return false;
        }
    }
    mode_t mode = 0644;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        // Checked by the bits, not by access(): an administrator could replace the file regardless.
        if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0) {
            error = "the file is read-only";
            return false;
        }
        mode = info.st_mode & 07777;
    }
    fs::create_directories(target.parent_path(), ec);
    const std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    return winutils::WriteAndReplaceFile(target, pattern, text, mode, error);
}

}  // namespace setup
