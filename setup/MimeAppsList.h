// One "mimeapps.list" file, edited line by line: only the lines of the defaults that are changed are
// touched, every other line (comments, other sections, other types) stays as it was written.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace setup {

inline constexpr const char* kDefaultApplications = "[Default Applications]";

class MimeAppsList {
public:
    explicit MimeAppsList(const std::string& text = "");

    // The file's text; a file read without a final line end keeps it that way.
    std::string Text() const;

    // The desktop ids listed as the type's defaults, in order (type names compare regardless of case).
    std::vector<std::string> Defaults(const std::string& type) const;
    // Makes id the type's first default, ahead of those already listed; false when it was first already.
    bool PutDefaultFirst(const std::string& type, const std::string& id);
    // Takes id out of the type's defaults; the line goes when no other id is left on it, and a section that
    // is left without any line goes with it. False when id was not listed.
    bool RemoveDefault(const std::string& type, const std::string& id);

private:
    // The index of the type's line in the first default section, or -1.
    int FindDefaultLine(const std::string& type) const;
    // The index of the first default section's header, or -1.
    int DefaultSection() const;

    std::vector<std::string> lines_;
    bool finalLineEnd_ = true;
};

// Replaces a file by a temporary file in its folder that is synced and then renamed over it, so a reader
// sees the old or the new text, never half of one; a symbolic link is followed and the file it names is
// replaced. The file's permission bits are kept. A file that exists without any write permission is the
// user's choice to protect it and is not replaced. False, with the reason in error, when it was not written.
bool ReplaceFileAtomically(const std::filesystem::path& file, const std::string& text, std::string& error);

// The whole file; "" when it is missing. False when it exists but cannot be read.
bool ReadWholeFile(const std::filesystem::path& file, std::string& text);

}  // namespace setup
