#include "tools/cli/line_editor.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ktcomm::cli {
namespace {

constexpr int kHistorySize = 500;

LineEditor* Owner(EditLine* el) {
  void* data = nullptr;
  el_get(el, EL_CLIENTDATA, &data);
  return static_cast<LineEditor*>(data);
}

}  // namespace

LineEditor::LineEditor(std::string promptText, Idle idleWork)
    : prompt(std::move(promptText)), idle(std::move(idleWork)) {
  past = history_init();
  editor = el_init("ktcomm", stdin, stdout, stderr);
  if (!Ready()) return;
  HistEvent event;
  ::history(past, &event, H_SETSIZE, kHistorySize);
  ::history(past, &event, H_SETUNIQUE, 1);
  el_set(editor, EL_CLIENTDATA, this);
  el_set(editor, EL_EDITOR, "emacs");
  el_set(editor, EL_PROMPT, &LineEditor::Prompt);
  el_set(editor, EL_HIST, ::history, past);
  // The keyboard is read here, so that the session can serve its port
  // while a line is typed.
  el_set(editor, EL_GETCFN, &LineEditor::GetChar);
  // The user's key bindings, as every libedit program reads them.
  el_source(editor, nullptr);
  KeepRaw();
}

LineEditor::~LineEditor() {
  if (editor != nullptr) {
    el_set(editor, EL_PREP_TERM, 0);  // the terminal as it was
    el_end(editor);
  }
  if (past != nullptr) history_end(past);
}

LineEditor::Result LineEditor::Read(std::string* line) {
  stopped = false;
  state = std::mbstate_t{};
  el_resize(editor);
  int count = 0;
  reading = true;
  const char* got = el_gets(editor, &count);
  reading = false;
  KeepRaw();
  if (stopped) {
    // The line stays on the screen as typed; what follows starts below it.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return Result::kStopped;
  }
  if (got == nullptr || count <= 0) {
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return Result::kEnd;
  }
  line->assign(got, static_cast<size_t>(count));
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  if (line->find_first_not_of(" \t") != std::string::npos) {
    HistEvent event;
    ::history(past, &event, H_ENTER, line->c_str());
  }
  return Result::kLine;
}

// libedit gives the terminal back its line mode after each line and takes
// it again only at the first key of the next: a key typed meanwhile went
// through that mode (echoed there, and Ctrl-D, an end of file there, lost).
// Between lines the terminal stays as the editor wants it.
void LineEditor::KeepRaw() { el_set(editor, EL_PREP_TERM, 1); }

char* LineEditor::Prompt(EditLine* el) {
  return const_cast<char*>(Owner(el)->prompt.c_str());
}

int LineEditor::GetChar(EditLine* el, wchar_t* c) { return Owner(el)->NextChar(c); }

int LineEditor::NextChar(wchar_t* c) {
  std::vector<pollfd> fds;
  fds.push_back({0, POLLIN, 0});
  for (int fd : idle.fds) fds.push_back({fd, POLLIN, 0});
  for (;;) {
    int ready = poll(fds.data(), fds.size(), idle.timeoutMs());
    if (ready < 0 && errno != EINTR) return -1;
    if (ready < 0) continue;
    if (fds[0].revents != 0) {
      char byte;
      ssize_t got = read(0, &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return 0;
      wchar_t wide;
      size_t used = std::mbrtowc(&wide, &byte, 1, &state);
      if (used == static_cast<size_t>(-2)) continue;  // more bytes of one character
      if (used == static_cast<size_t>(-1)) {
        // Not text in this locale: the byte as it is.
        state = std::mbstate_t{};
        wide = static_cast<unsigned char>(byte);
      }
      *c = wide;
      return 1;
    }
    std::vector<short> revents;
    for (size_t i = 1; i < fds.size(); ++i) revents.push_back(fds[i].revents);
    if (!idle.serve(revents)) {
      stopped = true;
      return -1;
    }
  }
}

void LineEditor::Hide() {
  if (!reading) return;
  // The line may have wrapped: up to the row the prompt is on, then clear
  // from there down.
  const LineInfo* info = el_line(editor);
  winsize size{};
  int columns = ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  size_t before = prompt.size() + static_cast<size_t>(info->cursor - info->buffer);
  size_t rows = before / static_cast<size_t>(columns);
  if (rows > 0) std::fprintf(stdout, "\033[%zuA", rows);
  std::fputs("\r\033[J", stdout);
  std::fflush(stdout);
}

void LineEditor::Show() {
  if (!reading) return;
  // Forgets what libedit believes is on the screen and draws prompt and
  // line afresh from the cursor, which Hide left at a line's start.
  el_set(editor, EL_REFRESH);
}

}  // namespace ktcomm::cli
