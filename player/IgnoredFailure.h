// Steps of the player's windows whose failure is let pass on purpose: a repaint, a focus change, a
// position update, a dialog or a stop that throws must not take the window down, and the user has
// nothing to act on. The failure only goes to the debug log.
#pragma once

#include <functional>

namespace player {

// Runs action; a std::exception it throws is written to the debug log, naming the step, and is otherwise
// ignored. Anything else it throws passes through.
void RunIgnoringFailure(const char* step, const std::function<void()>& action);

}  // namespace player
