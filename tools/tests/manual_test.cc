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

// The commands ktcomm --help lists, one a line under "Subcommands:".
std::vector<std::string> Commands() {
  Outcome help = RunToEnd({KTCOMM_CLI_PATH, "--help"}, {}, kDeadlineMs);
  std::vector<std::string> commands;
  std::istringstream lines(help.out.substr(help.out.find("Subcommands:")));
  std::regex named(R"(^  ([a-z]+) )");
  std::smatch match;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, match, named)) commands.push_back(match[1]);
  }
  return commands;
}

TEST(ManualTest, KtcommPageDescribesEveryCommandAndOption) {
  std::string page = Page("ktcomm.1");
  ASSERT_FALSE(page.empty());
  std::vector<std::string> commands = Commands();
  ASSERT_GE(commands.size(), 7u);
  for (const std::string& command : commands) {
    EXPECT_NE(page.find(".B ktcomm " + command), std::string::npos) << command;
    if (command == "version") continue;
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
