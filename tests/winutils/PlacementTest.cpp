#include <gtest/gtest.h>

#include <vector>

#include "tests/winutils/Flavour.h"
#include "winutils/Winutils_screen.h"

namespace {

using winutils::ScreenRect;

const ScreenRect kLeft{0, 0, 1920, 1080};
const ScreenRect kRight{1920, 0, 1280, 1024};

struct PlacementCase {
    const char* what;
    ScreenRect form;
    std::vector<ScreenRect> monitors;
    int mouseX;
    int mouseY;
    bool centre;
    ScreenRect expected;
};

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.what; }

class PlacementFixture : public ::testing::TestWithParam<PlacementCase> {};
using FLAVOURED(PlacementTest) = PlacementFixture;
#ifdef WINUTILS_POLLWICK
#define PLACEMENT_SUITE PollwickPlacementTest
#else
#define PLACEMENT_SUITE PlayerPlacementTest
#endif

TEST_P(PLACEMENT_SUITE, PlacesTheForm) {
    const PlacementCase& c = GetParam();
    EXPECT_EQ(winutils::PlaceOnActiveMonitor(c.form, c.monitors, c.mouseX, c.mouseY, c.centre), c.expected)
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PLACEMENT_SUITE,
    ::testing::Values(
        PlacementCase{"centred on the monitor under the mouse",
                      {100, 100, 400, 300},
                      {kLeft, kRight},
                      2000,
                      500,
                      true,
                      {2360, 362, 400, 300}},
        PlacementCase{"moved onto the monitor under the mouse without centring",
                      {100, 100, 400, 300},
                      {kLeft, kRight},
                      2000,
                      500,
                      false,
                      {1940, 100, 400, 300}},
        PlacementCase{"a mouse on a monitor's edge falls back to the first monitor above the form",
                      {100, 100, 400, 300},
                      {kLeft, kRight},
                      1920,
                      500,
                      false,
                      {100, 100, 400, 300}},
        PlacementCase{"no monitor above the form's top: the first monitor, moved back a monitor width",
                      {2000, 0, 400, 300},
                      {kLeft, kRight},
                      -5,
                      -5,
                      false,
                      {80, 0, 400, 300}},
        PlacementCase{"a right edge on the monitor's right edge moves to left 20",
                      {1520, 100, 400, 300},
                      {kLeft},
                      10,
                      10,
                      false,
                      {20, 100, 400, 300}},
        PlacementCase{"a bottom on the monitor's bottom stays",
                      {100, 780, 400, 300},
                      {kLeft},
                      10,
                      10,
                      false,
                      {100, 780, 400, 300}},
        PlacementCase{"taller than the monitor: cut to its bottom minus 20",
                      {100, 100, 400, 1201},
                      {kLeft},
                      10,
                      10,
                      true,
                      {760, -60, 400, 1120}},
        PlacementCase{"wider than the monitor: cut to its right edge minus 20",
                      {100, 100, 2000, 300},
                      {kLeft},
                      10,
                      10,
                      false,
                      {20, 100, 1880, 300}},
        PlacementCase{
            "no monitor at all: 20, 20", {500, 600, 400, 300}, {}, 10, 10, true, {20, 20, 400, 300}}));

}  // namespace
