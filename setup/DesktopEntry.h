// The player's desktop entry ("strevio.desktop"): how the desktop starts it on a file, its icon, and the
// file types it declares.
#pragma once

#include <string>
#include <vector>

namespace setup {

inline constexpr const char* kPlayerDesktopId = "strevio.desktop";

// The entry's text: Exec starts program with the file ("%f"), MimeType lists types.
std::string DesktopEntryText(const std::string& program, const std::string& icon,
                             const std::vector<std::string>& types);

// The program as one argument of an Exec line: quoted when it holds a reserved character, and escaped for
// the entry's string value.
std::string ExecArgument(const std::string& program);

// The types an entry's text declares in its MimeType key.
std::vector<std::string> DeclaredTypes(const std::string& entryText);

}  // namespace setup
