// The manual pages against the programs: every command and option that
// --help lists is described in the page.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
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
  std::string page = text.str();
  for (size_t at; (at = page.find("\\-")) != std::string::npos;) page.erase(at, 1);
  return page;
}

bool IsNameChar(char c) { return std::islower(static_cast<unsigned char>(c)) || c == '-'; }

std::set<std::string> Options(const std::vector<std::string>& argv) {
  Outcome help = RunToEnd(argv, {}, kDeadlineMs);
  EXPECT_EQ(help.exitCode, 0) << help.err;
  std::set<std::string> options;
  const std::string& text = help.out;
  for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
    size_t end = at + 2;
    while (end < text.size() && IsNameChar(text[end])) ++end;
    if (end > at + 2) options.insert(text.substr(at, end - at));
  }
  EXPECT_FALSE(options.empty()) << help.out;
  return options;
}

// The commands ktcomm --help lists, one a line under "Subcommands:".
std::vector<std::string> Commands() {
  Outcome help = RunToEnd({KTCOMM_CLI_PATH, "--help"}, {}, kDeadlineMs);
  std::vector<std::string> commands;
  size_t listed = help.out.find("Subcommands:");
  if (listed == std::string::npos) return commands;
  std::istringstream lines(help.out.substr(listed));
  // "  send    Send a command frame ..."; continuation lines start further in.
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 3 || line.compare(0, 2, "  ") != 0 || line[2] == ' ') continue;
    size_t end = 2;
    while (end < line.size() && IsNameChar(line[end])) ++end;
    commands.push_back(line.substr(2, end - 2));
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
