// A KTWindow that records what it is given: frame notifications (with a copy
// of their data, taken inside the callback as an application must) and alerts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "api/ktcomm.h"

namespace ktcomm::test {

struct Posted {
  uint32_t message = 0;
  uint32_t first = 0;
  uintptr_t second = 0;
  std::vector<uint8_t> data;  // copied in the callback

  uint8_t command() const { return first & 0xFF; }
  int port() const { return (first >> 8) & 0xFF; }
  uint32_t length() const { return first >> 16; }
};

// An alert as recorded below: the caption, '|', then the text the library
// composes for a failed step.
inline std::string ErrorAlert(const std::string& step, const std::string& systemText,
                              int port) {
  return "Application Error|WARNING:  " + step + " Failed with the following error: \n" +
         systemText + "\nPort: " + std::to_string(port) + "\n";
}

class RecordingWindow : public KTWindow {
 public:
  RecordingWindow() : KTWindow{&RecordingWindow::OnPost, &RecordingWindow::OnAlert} {}

  std::vector<Posted> posts() {
    std::lock_guard<std::mutex> hold(mutex);
    return posted;
  }
  std::vector<std::string> alerts() {
    std::lock_guard<std::mutex> hold(mutex);
    return alerted;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex);
    posted.clear();
    alerted.clear();
  }

  // Waits until at least `count` posts (or alerts) have come.
  bool WaitPosts(size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [&] { return posted.size() >= count; });
  }
  bool WaitAlerts(size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [&] { return alerted.size() >= count; });
  }

  // Called inside post, on the worker, after the record is made.
  std::function<void(const Posted&)> onPost;

 private:
  static void OnPost(KTWindow* window, uint32_t message, uint32_t first, uintptr_t second) {
    auto* self = static_cast<RecordingWindow*>(window);
    Posted post{message, first, second, {}};
    if (second != 0) {
      auto* bytes = reinterpret_cast<const uint8_t*>(second);
      post.data.assign(bytes, bytes + post.length());
    }
    {
      std::lock_guard<std::mutex> hold(self->mutex);
      self->posted.push_back(post);
    }
    self->changed.notify_all();
    if (self->onPost) self->onPost(post);
  }

  static void OnAlert(KTWindow* window, const char* caption, const char* text) {
    auto* self = static_cast<RecordingWindow*>(window);
    {
      std::lock_guard<std::mutex> hold(self->mutex);
      self->alerted.push_back(std::string(caption) + "|" + text);
    }
    self->changed.notify_all();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Posted> posted;
  std::vector<std::string> alerted;
};

}  // namespace ktcomm::test
