#include "setup/MimeDatabase.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "setup/TextSplit.h"
#include "setup/XdgDirs.h"
#include "winutils/Winutils_string.h"

namespace setup {

using winutils::LowerCase;

MimeDatabase MimeDatabase::Load() {
    MimeDatabase database;
    for (const std::filesystem::path& folder : DataFolders()) {
        std::ifstream in(folder / "mime" / "globs2", std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            database.AddGlobs(text.str());
        }
    }
    return database;
}

void MimeDatabase::AddGlobs(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::vector<std::string> fields = SplitAt(line, ':');
        // Only the plain "*.suffix" rules say what an extension is; other patterns name whole file names.
        if (fields.size() < 3 || fields[2].size() < 3 || fields[2].compare(0, 2, "*.") != 0 ||
            fields[2].find_first_of("*?[", 2) != std::string::npos) {
            continue;
        }
        Glob glob;
        glob.weight = std::atoi(fields[0].c_str());
        glob.type = fields[1];
        glob.caseSensitive = fields.size() > 3 && fields[3].find("cs") != std::string::npos;
        glob.suffix = glob.caseSensitive ? fields[2].substr(2) : LowerCase(fields[2].substr(2));
        globs_.push_back(std::move(glob));
    }
}

std::vector<std::string> MimeDatabase::TypesOfExtension(const std::string& ext) const {
    const std::string bare = !ext.empty() && ext[0] == '.' ? ext.substr(1) : ext;
    if (bare.empty()) {
        return {};
    }
    // Files carry extensions in either case; a case-sensitive rule applies to the lower-case spelling.
    const std::string lower = LowerCase(bare);
    int heaviest = -1;
    std::vector<std::string> types;
    for (const Glob& glob : globs_) {
        if (glob.suffix != lower || glob.weight < heaviest) {
            continue;
        }
        if (glob.weight > heaviest) {
            heaviest = glob.weight;
            types.clear();
        }
        if (std::find(types.begin(), types.end(), glob.type) == types.end()) {
            types.push_back(glob.type);
        }
    }
    return types;
}

}  // namespace setup
