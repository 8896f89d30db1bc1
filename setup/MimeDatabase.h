// The shared MIME database's file-name rules (the "globs2" file of each data folder's "mime" folder): which
// MIME types the desktop gives a file by its extension.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace setup {

class MimeDatabase {
public:
    // Reads the rules of every data folder, the user's first.
    static MimeDatabase Load();
    // Adds the rules of one globs2 text ("weight:type:pattern[:flags]" lines).
    void AddGlobs(const std::string& text);

    // The types of a file named "x.EXT" (ext with or without its dot, any letter case): the types of the
    // heaviest "*.ext" rules. Several when the database leaves the choice to the file's content.
    std::vector<std::string> TypesOfExtension(const std::string& ext) const;

private:
    struct Glob {
        int weight = 50;
        std::string type;
        std::string suffix;  // the text after "*." (lower-case unless caseSensitive)
        bool caseSensitive = false;
    };
    std::vector<Glob> globs_;
};

}  // namespace setup
