// The manual pages against the programs: every command and option that
// --help lists is described in the page.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "tools/tests/child_process.h"

namespace ktcomm::test_support {
namespace {

constexpr int kDeadlineMs = 10000;

// The page's text with troff's escaped hyphens as plain ones.
std::string Page(const std::string& name) {
  std::ifstream in(std::string(KTCOMM_MAN_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return std::regex_replace(text.str(), std::regex(R"(\\-)"), "-");
}

std::set<std::string> Options(const std::vector<std::string>& argv) {
  Outcome help = RunToEnd(argv, {}, kDeadlineMs);
  EXPECT_EQ(help.exitCode, 0) << help.err;
  std::set<std::string> options;
  std::regex option(R"(--[a-z][a-z-]*)");
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end; ++it) {
    options.insert(it->str());
  }
  EXPECT_FALSE(options.empty()) << help.out;
  return options;
}

TEST(ManualTest, KtcommPageDescribesEveryCommandAndOption) {
  std::string page = Page("ktcomm.1");
  ASSERT_FALSE(page.empty());
  for (const char* command : {"send", "call", "raw", "listen", "term", "list", "version"}) {
    EXPECT_NE(page.find(std::string(".B ktcomm ") + command), std::string::npos) << command;
    if (std::string(command) == "version") continue;
    for (const std::string& option : Options({KTCOMM_CLI_PATH, command, "--help"})) {
      EXPECT_NE(page.find(option), std::string::npos) << command << " " << option;
    }
  }
}

TEST(ManualTest, SimulatorPageDescribesEveryOption) {
  std::string page = Page("ktcomm-sim.1");
  ASSERT_FALSE(page.empty());
  for (const std::string& option : Options({KTCOMM_SIM_PATH, "--help"})) {
    EXPECT_NE(page.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace ktcomm::test_support
