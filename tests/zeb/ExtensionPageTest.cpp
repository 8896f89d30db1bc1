#include "zeb/ExtensionPage.h"

#include <gtest/gtest.h>

#include "tests/zeb/ZebTestTools.h"

namespace {

// Written out here rather than taken from the code under test.
std::string PageBase() {
    return std::string("http://") + ZEB_VENDOR_HOST + "/extension/";
}

TEST(ExtensionPageTest, PageAddressIsTheBuildHostAndTheExtension) {
    EXPECT_EQ(zeb::BuildExtensionUrl("xyz"), "http://" ZEB_VENDOR_HOST "/extension/xyz");
    EXPECT_EQ(zeb::BuildExtensionUrl("no-ext"), "http://" ZEB_VENDOR_HOST "/extension/no-ext");
}

TEST(ExtensionPageTest, SegmentIsPercentEncoded) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"gz", "gz"},
        {"no-ext", "no-ext"},
        {"tar gz", "tar%20gz"},
        {"c#", "c%23"},
        {"a?b=c&d", "a%3Fb%3Dc%26d"},
        {"x/../../evil", "x%2F..%2F..%2Fevil"},
        {"50%", "50%25"},
        {"\xC3\xA9t\xC3\xA9", "%C3%A9t%C3%A9"},
        {"\xFF\n", "%FF%0A"},
        {"a_b~c.d-e", "a_b~c.d-e"},
    };
    for (const auto& [segment, encoded] : cases) {
        EXPECT_EQ(zeb::BuildExtensionUrl(segment), PageBase() + encoded) << segment;
    }
}

struct PageCase {
    std::string ext;
    std::string url;
};

TEST(ExtensionPageTest, OpensThePageOfTheExtensionOrNoExt) {
    testsupport::IsolatedHome home;
    for (const PageCase& c : {PageCase{"xyz", PageBase() + "xyz"}, PageCase{"", PageBase() + "no-ext"},
                              PageCase{"a b#", PageBase() + "a%20b%23"}}) {
        zebtest::RecordingPrograms recorders({"xdg-open"});
        zeb::Globals globals;
        globals.target_ext = c.ext;
        EXPECT_TRUE(zeb::OpenExtensionInfoPage(globals));
        const auto runs = recorders.WaitForRuns("xdg-open", std::chrono::seconds(20));
        ASSERT_EQ(runs.size(), 1u) << c.ext;
        EXPECT_EQ(runs[0], std::vector<std::string>{c.url});
    }
}

}  // namespace
