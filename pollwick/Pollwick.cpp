// Pollwick: started from outside, checks the maker's endpoint for a newer version and offers it.
#include "pollwick/PollwickMain.h"

int main(int argc, char** argv) {
    return pollwick::WinMain(argc, argv);
}
