// What the Windows checks share: a count of named checks, the device side
// (tests/windows/pty_device.py, reached over 127.0.0.1), a window with a
// real message loop, and a watcher that finds error boxes on screen, reads
// them and dismisses them. Every wait has a deadline.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ktcomm::wintest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline std::string Hex(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, text.empty() ? "%02x" : " %02x", byte);
    text += pair;
  }
  return text;
}

inline Bytes FromHex(const std::string& text) {
  Bytes bytes;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
  return bytes;
}

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Named checks: each runs once, its failed expectations are printed, and the
// summary line counts checks.
class Checks {
 public:
  void Run(const char* name, const std::function<void()>& body) {
    current = name;
    failures = 0;
    body();
    std::printf("%s %s\n", failures == 0 ? "ok  " : "FAIL", name);
    std::fflush(stdout);
    (failures == 0 ? passed : failed) += 1;
  }
  // Records a failed expectation of the running check; returns `ok`.
  bool Expect(bool ok, const char* what, const std::string& detail, int line) {
    if (!ok) {
      failures += 1;
      std::printf("     %s:%d: %s%s%s\n", current, line, what, detail.empty() ? "" : " -- ",
                  detail.c_str());
    }
    return ok;
  }
  int Summary() const {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
  }

 private:
  const char* current = "";
  int failures = 0;
  int passed = 0;
  int failed = 0;
};

#define EXPECT(checks, condition, detail) (checks).Expect((condition), #condition, (detail), __LINE__)

// The pseudo-terminals' other sides, driven through the helper.
class DeviceSide {
 public:
  bool Connect(int controlPort) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return false;
    DWORD limitMs = 15000;  // no answer within this is a hang, not a slow helper
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limitMs),
               sizeof limitMs);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(controlPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~DeviceSide() {
    if (socket != INVALID_SOCKET) closesocket(socket);
  }

  // One request, one answer line; "error ..." when the helper is gone.
  std::string Ask(const std::string& request) {
    std::lock_guard<std::mutex> hold(mutex);
    std::string line = request + "\n";
    if (send(socket, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size())) {
      return "error send";
    }
    std::string answer;
    char c;
    for (;;) {
      int got = recv(socket, &c, 1, 0);
      if (got != 1) return "error no answer";
      if (c == '\n') return answer;
      answer += c;
    }
  }
  // The bytes the port sent: exactly `count`, or what came within `ms`.
  Bytes Expect(int port, size_t count, int ms = 3000) {
    return Payload(Ask("expect " + std::to_string(port) + " " + std::to_string(count) + " " +
                       std::to_string(ms)));
  }
  Bytes Read(int port, size_t count, int ms) {
    return Payload(Ask("read " + std::to_string(port) + " " + std::to_string(count) + " " +
                       std::to_string(ms)));
  }
  bool Write(int port, const Bytes& bytes) {
    return Ask("write " + std::to_string(port) + " " + Hex(bytes)) == "ok";
  }
  bool Hangup(int port) { return Ask("hangup " + std::to_string(port)) == "ok"; }
  bool Echo(int port, bool on) {
    return Ask("echo " + std::to_string(port) + (on ? " on" : " off")) == "ok";
  }
  void Discard(int port) { Ask("discard " + std::to_string(port)); }
  // The port's line as its pty has it: baud, data, parity, stop, crtscts, raw.
  std::map<std::string, std::string> Attr(int port) {
    std::map<std::string, std::string> fields;
    std::istringstream in(Ask("attr " + std::to_string(port)));
    std::string word;
    in >> word;
    if (word != "ok") return fields;
    while (in >> word) {
      size_t eq = word.find('=');
      if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return fields;
  }

 private:
  static Bytes Payload(const std::string& answer) {
    if (answer.rfind("ok", 0) != 0) return {};
    return FromHex(answer.substr(2));
  }
  SOCKET socket = INVALID_SOCKET;
  std::mutex mutex;
};

// A frame notification as the window got it, its data copied out at once.
struct Frame {
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  Bytes data;
};

// A hidden top-level window on the thread that makes it; Pump runs a real
// GetMessage loop until a frame comes or the time is up.
class FrameWindow {
 public:
  FrameWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "KTcommChecks";
    RegisterClassA(&windowClass);  // a second window finds the class there
    window = CreateWindowExA(0, "KTcommChecks", "KTcomm checks", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                             100, nullptr, nullptr, windowClass.hInstance, nullptr);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~FrameWindow() { DestroyWindow(window); }
  HWND Handle() const { return window; }

  // The next WM_PORT_MESSAGE, or false once `ms` passed.
  bool Pump(int ms, Frame* frame) {
    if (!frames.empty()) return Take(frame);
    UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(ms), nullptr);
    MSG message;
    bool got = false;
    while (!got && GetMessageA(&message, nullptr, 0, 0) > 0) {
      if (message.message == WM_TIMER && message.hwnd == nullptr && message.wParam == timer) break;
      DispatchMessageA(&message);
      got = !frames.empty();
    }
    KillTimer(nullptr, timer);
    return got && Take(frame);
  }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == 0x040A) {
      auto* self = reinterpret_cast<FrameWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
      Frame frame{message, wParam, lParam, {}};
      size_t length = (wParam >> 16) & 0xFFFF;
      // The data stays in the library's buffer only until its next frame.
      if (lParam != 0 && length > 0) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(lParam);
        frame.data.assign(bytes, bytes + length);
      }
      if (self != nullptr) self->frames.push_back(frame);
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }
  bool Take(Frame* frame) {
    *frame = frames.front();
    frames.erase(frames.begin());
    return true;
  }
  HWND window = nullptr;
  std::vector<Frame> frames;
};

// An error box as a person saw it.
struct Box {
  std::string caption;
  std::string text;
  bool owned = false;  // had an owner window
  bool icon = false;   // showed an icon
};

// Finds this process's boxes captioned "Application Error" by walking the
// top-level windows, reads their text and dismisses them with OK, unless
// told to hold them up for a while.
class BoxWatcher {
 public:
  BoxWatcher() : thread([this] { Watch(); }) {}
  ~BoxWatcher() {
    stop = true;
    thread.join();
  }
  // Boxes stay up until Release; each is still read when it appears.
  void Hold() { holding = true; }
  void Release() { holding = false; }
  // Waits until `count` boxes have been seen in all, or ms passed.
  bool WaitFor(size_t count, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Seen() < count && Clock::now() < deadline) Sleep(10);
    return Seen() >= count;
  }
  size_t Seen() {
    std::lock_guard<std::mutex> hold(mutex);
    return boxes.size();
  }
  std::vector<Box> Boxes() {
    std::lock_guard<std::mutex> hold(mutex);
    return boxes;
  }
  // Boxes on screen now, read or not.
  size_t Showing() { return showing.load(); }

 private:
  struct Walk {
    BoxWatcher* self;
    std::vector<HWND> found;
  };
  static BOOL CALLBACK Top(HWND window, LPARAM context) {
    auto* walk = reinterpret_cast<Walk*>(context);
    char caption[128] = "";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
        GetWindowTextA(window, caption, sizeof caption) > 0 &&
        std::strcmp(caption, "Application Error") == 0) {
      walk->found.push_back(window);
    }
    return TRUE;
  }
  static BOOL CALLBACK Child(HWND child, LPARAM context) {
    auto* box = reinterpret_cast<Box*>(context);
    char name[32] = "";
    GetClassNameA(child, name, sizeof name);
    if (lstrcmpiA(name, "Static") != 0) return TRUE;
    char text[1024] = "";
    GetWindowTextA(child, text, sizeof text);
    if (text[0] != '\0') {
      box->text = text;
    } else if (SendMessageA(child, STM_GETICON, 0, 0) != 0 ||
               (GetWindowLongA(child, GWL_STYLE) & SS_ICON) != 0) {
      box->icon = true;
    }
    return TRUE;
  }
  void Watch() {
    std::vector<HWND> read;
    while (!stop) {
      Walk walk{this, {}};
      EnumWindows(Top, reinterpret_cast<LPARAM>(&walk));
      showing = walk.found.size();
      // A handle comes back for a later window once its box is gone.
      std::vector<HWND> still;
      for (HWND seen : read) {
        for (HWND window : walk.found) {
          if (window == seen) still.push_back(seen);
        }
      }
      read.swap(still);
      for (HWND window : walk.found) {
        bool known = false;
        for (HWND seen : read) known = known || seen == window;
        if (!known) {
          Box box;
          box.caption = "Application Error";
          box.owned = GetWindow(window, GW_OWNER) != nullptr;
          EnumChildWindows(window, Child, reinterpret_cast<LPARAM>(&box));
          read.push_back(window);
          std::lock_guard<std::mutex> hold(mutex);
          boxes.push_back(box);
        }
        if (!holding) PostMessageA(window, WM_COMMAND, IDOK, 0);
      }
      Sleep(10);
    }
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> holding{false};
  std::atomic<size_t> showing{0};
  std::mutex mutex;
  std::vector<Box> boxes;
  std::thread thread;
};

// The helper's control port, from --control PORT.
inline int ControlPort(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--control") == 0) return std::atoi(argv[i + 1]);
  }
  return 0;
}

}  // namespace ktcomm::wintest
