#include "zeb/CommandLine.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char* label;
    std::vector<std::string> args;
    bool found;
    std::string path;
    std::string name;
    std::string ext;
    bool showInfo;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.label;
}

class ParseCommandLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandLineTest, FindsTargetNameAndCleanedExtension) {
    const ParseCase& c = GetParam();
    zeb::Globals globals;
    EXPECT_EQ(zeb::ParseCommandLine(c.args, globals), c.found);
    EXPECT_EQ(globals.target_path, c.path);
    EXPECT_EQ(globals.target_name, c.name);
    EXPECT_EQ(globals.target_ext, c.ext);
    EXPECT_EQ(globals.show_info, c.showInfo);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ParseCommandLineTest,
    ::testing::Values(
        ParseCase{
            "last extension, lower case", {"zeb", "a.TAR.GZ"}, true, "a.TAR.GZ", "a.TAR.GZ", "gz", false},
        ParseCase{"hidden file", {"zeb", ".bashrc"}, true, ".bashrc", ".bashrc", "bashrc", false},
        ParseCase{"trailing dot", {"zeb", "a."}, true, "a.", "a.", "", false},
        ParseCase{"no extension", {"zeb", "README"}, true, "README", "README", "", false},
        ParseCase{"dot in a folder name",
                  {"zeb", "/home/u/v1.2/README"},
                  true,
                  "/home/u/v1.2/README",
                  "README",
                  "",
                  false},
        ParseCase{"dot in a relative folder name",
                  {"zeb", "pics.old/photo"},
                  true,
                  "pics.old/photo",
                  "photo",
                  "",
                  false},
        ParseCase{"absolute path",
                  {"zeb", "/home/u/Report.Xyz"},
                  true,
                  "/home/u/Report.Xyz",
                  "Report.Xyz",
                  "xyz",
                  false},
        ParseCase{"no argument", {"zeb"}, false, "", "", "", false},
        ParseCase{"only empty arguments", {"zeb", "", ""}, false, "", "", "", false},
        ParseCase{"empty argument skipped", {"zeb", "", "a.txt"}, true, "a.txt", "a.txt", "txt", false},
        ParseCase{"only options", {"zeb", "/showinfo", "/debug"}, false, "", "", "", true},
        ParseCase{
            "show info", {"zeb", "/showinfo", "report.XYZ"}, true, "report.XYZ", "report.XYZ", "xyz", true},
        ParseCase{"show info in capitals is ignored",
                  {"zeb", "/SHOWINFO", "report.XYZ"},
                  true,
                  "report.XYZ",
                  "report.XYZ",
                  "xyz",
                  false},
        ParseCase{"debug accepted", {"zeb", "/debug", "a.b"}, true, "a.b", "a.b", "b", false},
        ParseCase{
            "unknown option ignored", {"zeb", "/zeb-no-such-option", "a.b"}, true, "a.b", "a.b", "b", false},
        ParseCase{"arguments after the target are ignored",
                  {"zeb", "first.one", "/showinfo", "second.two"},
                  true,
                  "first.one",
                  "first.one",
                  "one",
                  false},
        ParseCase{"an existing root-level path is a target", {"zeb", "/tmp"}, true, "/tmp", "tmp", "", false},
        ParseCase{
            "leading blank and dots stripped", {"zeb", "a. .TXT"}, true, "a. .TXT", "a. .TXT", "txt", false},
        ParseCase{"control characters stripped",
                  {"zeb", "a.\t\r\nDoc"},
                  true,
                  "a.\t\r\nDoc",
                  "a.\t\r\nDoc",
                  "doc",
                  false},
        ParseCase{"blank inside the extension kept",
                  {"zeb", "x.tar gz"},
                  true,
                  "x.tar gz",
                  "x.tar gz",
                  "tar gz",
                  false},
        ParseCase{"leading dash", {"zeb", "-rf.Sh"}, true, "-rf.Sh", "-rf.Sh", "sh", false},
        ParseCase{"unicode lower case",
                  {"zeb", "photo.\xC3\x89T\xC3\x89"},
                  true,
                  "photo.\xC3\x89T\xC3\x89",
                  "photo.\xC3\x89T\xC3\x89",
                  "\xC3\xA9t\xC3\xA9",
                  false},
        ParseCase{"bytes that are not UTF-8 stay",
                  {"zeb", "a.\xFFZ\xC3"},
                  true,
                  "a.\xFFZ\xC3",
                  "a.\xFFZ\xC3",
                  "\xFFz\xC3",
                  false},
        ParseCase{"trailing slash", {"zeb", "dir/sub.d/"}, true, "dir/sub.d/", "sub.d/", "", false},
        ParseCase{
            "environment text kept", {"zeb", "%HOME%.Cfg"}, true, "%HOME%.Cfg", "%HOME%.Cfg", "cfg", false}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return "case" + std::to_string(info.index); });

}  // namespace
