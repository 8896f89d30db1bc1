// zeb: started by the desktop with a file that no program is set to open.
#include "zeb/Zeb.h"

int main(int argc, char** argv) {
    return zeb::ZebMain(argc, argv);
}
