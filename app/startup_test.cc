#include "app/startup.h"

#include "state/run_state.h"
#include "tests/test_util.h"

namespace tw {
namespace {

class CommandLineTest : public TempDirTest {
 protected:
  bool Parse(const std::string& line, bool self_contained = false) {
    g_run.SelfContained = self_contained;
    g_run.PatchFilePath = self_contained ? "self.exe" : "";
    return ParseCommandLine(line);
  }
};

TEST_F(CommandLineTest, PlainApplierTakesPatchThenTarget) {
  EXPECT_FALSE(Parse("prog"));
  EXPECT_TRUE(Parse("prog patch.bin"));
  EXPECT_EQ(g_run.PatchFilePath, "patch.bin");
  EXPECT_EQ(g_run.TargetPath, ".");
  EXPECT_EQ(g_run.TargetBase, ".");
  EXPECT_TRUE(Parse("prog   patch.bin   C:\\App  "));
  EXPECT_EQ(g_run.TargetPath, "C:\\App");
  EXPECT_EQ(g_run.TargetBase, "C:\\App");
  EXPECT_FALSE(Parse("prog a b c"));
}

TEST_F(CommandLineTest, SelfContainedTakesOnlyTheTarget) {
  EXPECT_TRUE(Parse("prog", true));
  EXPECT_EQ(g_run.TargetPath, ".");
  EXPECT_TRUE(Parse("prog other.bin", true));
  EXPECT_EQ(g_run.TargetPath, "other.bin");
  EXPECT_EQ(g_run.PatchFilePath, "self.exe");
  EXPECT_FALSE(Parse("prog a b", true));
}

TEST_F(CommandLineTest, QuotesGroupAndHelpStopsAnywhere) {
  EXPECT_TRUE(Parse("\"C:\\My Prog\\p.exe\" \"my patch.bin\" \"C:\\Program Files\\App\""));
  EXPECT_EQ(g_run.PatchFilePath, "my patch.bin");
  EXPECT_EQ(g_run.TargetPath, "C:\\Program Files\\App");
  // Quotes inside a word join it, and an empty pair counts for nothing.
  EXPECT_TRUE(Parse("prog p\"a b\"c \"\" t"));
  EXPECT_EQ(g_run.PatchFilePath, "pa bc");
  EXPECT_EQ(g_run.TargetPath, "t");
  EXPECT_FALSE(Parse("prog p.bin -h"));
  EXPECT_FALSE(Parse("prog \"-h\" p.bin"));
  EXPECT_TRUE(Parse("prog -H"));
  EXPECT_EQ(g_run.PatchFilePath, "-H");
  // An unclosed quote loses the last token.
  EXPECT_TRUE(Parse("prog p.bin \"target"));
  EXPECT_EQ(g_run.TargetPath, ".");
  // Tabs are part of a token; double-byte characters pass through.
  EXPECT_TRUE(Parse("prog a\tb \xa7\x5c.bin"));
  EXPECT_EQ(g_run.PatchFilePath, "a\tb");
  EXPECT_EQ(g_run.TargetPath, "\xa7\x5c.bin");
}

}  // namespace
}  // namespace tw
