// The program's entry: loads the settings, runs the update check and, when it decided so, the offer
// window. The exit code is always 0.
#pragma once

namespace pollwick {

int WinMain(int argc, char** argv);

}  // namespace pollwick
