// The association setter's work: makes the desktop open the wished extensions with the player and no
// longer the others, then tells which extensions the desktop now opens with the player.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace setup {

struct SetterInput {
    std::vector<std::string> wishes;      // extensions such as ".MP4"
    std::vector<std::string> associable;  // every extension the player may be associated with
    std::string program;                  // the player's absolute path, for the desktop entry
    std::string icon;                     // the desktop entry's icon (a name or an absolute path)
};

// The own MIME type given to a wished extension that the shared MIME database knows no type for.
std::string OwnTypeOf(const std::string& ext);

// Applies the wishes: the desktop entry (removed when no type is wished), the user's defaults, the own
// types of extensions the database does not know, and the desktop's caches when their tools are there.
// Each step that fails is logged and the others still run.
void ApplyWishes(const SetterInput& input);

// The extensions of `associable` (and of the wishes) that the desktop now opens with the player, as
// spelled in the input.
std::vector<std::string> AssociatedNow(const SetterInput& input);

}  // namespace setup
