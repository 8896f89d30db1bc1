#include "setup/DesktopEntry.h"

#include <sstream>

namespace setup {

std::string ExecArgument(const std::string& program) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`=%";
    std::string argument;
    if (program.find_first_of(reserved) == std::string::npos) {
        argument = program;
    } else {
        argument = "\"";
        for (char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                argument += '\\';
            }
            argument += c;
        }
        argument += '"';
    }
    // A literal percent sign is doubled, and the string value escapes its backslashes once more.
    std::string value;
    for (char c : argument) {
        if (c == '%') {
            value += "%%";
        } else if (c == '\\') {
            value += "\\\\";
        } else {
            value += c;
        }
    }
    return value;
}

std::string DesktopEntryText(const std::string& program, const std::string& icon,
                             const std::vector<std::string>& types) {
    std::string mimeTypes;
    for (const std::string& type : types) {
        mimeTypes += type + ";";
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Strevio\n"
           "GenericName=Media Player\n"
           "Comment=Play video and audio files\n"
           "Exec=" + ExecArgument(program) + " %f\n"
           "Icon=" + icon + "\n"
           "Terminal=false\n"
           "Categories=AudioVideo;Player;Video;Audio;\n"
           "MimeType=" + mimeTypes + "\n";
}

std::vector<std::string> DeclaredTypes(const std::string& entryText) {
    std::istringstream in(entryText);
    std::string line;
    std::vector<std::string> types;
    while (std::getline(in, line)) {
        if (line.rfind("MimeType=", 0) != 0) {
            continue;
        }
        std::istringstream list(line.substr(9));
        std::string type;
        while (std::getline(list, type, ';')) {
            if (!type.empty()) {
                types.push_back(type);
            }
        }
    }
    return types;
}

}  // namespace setup
