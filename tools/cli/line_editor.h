// The line a person types at term, edited by libedit (cursor keys, history,
// ~/.editrc), with the session's own output kept above it. While a line is
// being read, the editor waits on the session's descriptors too and lets the
// session serve them; what the session writes then goes above the line,
// which is drawn again below it. Main thread only.
#pragma once

#include <histedit.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "tools/cli/cli_session.h"

namespace ktcomm::cli {

class LineEditor : public LiveLine {
 public:
  // What the editor waits on besides the keyboard while a line is read.
  struct Idle {
    std::vector<int> fds;            // polled for input
    std::function<int()> timeoutMs;  // how long to wait for them; -1: no limit
    // Called when one of fds is ready or the time-out passed, with the
    // revents of each; false gives up the line being read.
    std::function<bool(const std::vector<short>& revents)> serve;
  };
  enum class Result {
    kLine,     // a line was entered
    kEnd,      // the end of input: Ctrl-D on an empty line
    kStopped,  // serve gave the line up
  };

  // Reads the keyboard on standard input and draws on standard output,
  // which must both be terminals.
  LineEditor(std::string prompt, Idle idle);
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;
  ~LineEditor() override;

  // Whether the editor could be set up.
  bool Ready() const { return editor != nullptr && past != nullptr; }
  // Reads one line, without its newline, and keeps it in the history.
  Result Read(std::string* line);

  void Hide() override;
  void Show() override;

 private:
  void KeepRaw();
  static char* Prompt(EditLine* el);
  static int GetChar(EditLine* el, wchar_t* c);
  // 1 with a character, 0 at the end of input, -1 when serve gave up.
  int NextChar(wchar_t* c);

  std::string prompt;
  Idle idle;
  EditLine* editor = nullptr;
  History* past = nullptr;  // the lines entered, for the arrow keys
  bool reading = false;  // inside el_gets: the line is on the screen
  bool stopped = false;
  std::mbstate_t state{};
};

}  // namespace ktcomm::cli
