// What the player sets on its application object before any window exists: its name and its skin.
#pragma once

class QApplication;

namespace player {

// Names the application and gives every widget the skin. The name is not set as a display name: Qt would
// append that to every window's title, and each window carries its own caption.
void SetUpApplication(QApplication& app);

}  // namespace player
