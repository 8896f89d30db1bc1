// zeb-openwith: zeb's "open with" chooser, started with the file to open.
#include "zeb/OpenWithChooser.h"

int main(int argc, char** argv) {
    return zeb::OpenWithChooserMain(argc, argv);
}
