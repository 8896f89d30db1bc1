#include "engine/base/BenchReport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench_report {

bool Enabled() {
    static const bool enabled = std::getenv("STREVIO_BENCH_REPORT") != nullptr;
    return enabled;
}

void Print(const char* AEvent, double ATime, double APTS) {
    if (!Enabled()) {
        return;
    }
    // One call per line, so lines from several threads do not mix.
    if (std::isnan(APTS)) {
        std::printf("%s %.6f\n", AEvent, ATime);
    } else {
        std::printf("%s %.6f %.3f\n", AEvent, ATime, APTS);
    }
    std::fflush(stdout);
}

double StartSeconds() {
    const char* start = std::getenv("STREVIO_BENCH_START");
    return Enabled() && start != nullptr ? std::atof(start) : NAN;
}

}  // namespace bench_report
