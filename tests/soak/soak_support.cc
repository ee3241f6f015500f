// What the soak's phases share: the window, counters, resource figures.
#include <cstdlib>
#include <cstring>

#include "tests/soak/soak.h"
#include "tests/support/process_counts.h"

namespace ktcomm::soak {
namespace {

// The port an alert names: the library ends its texts with "Port: <n>\n".
int PortOfAlert(const char* text) {
  const char* found = std::strstr(text, "Port: ");
  return found != nullptr ? std::atoi(found + 6) : 0;
}

}  // namespace

Resources Measure() { return {test::OpenFdCount(), test::ThreadCount(), test::ResidentKiB()}; }

SoakWindow::SoakWindow() : KTWindow{&SoakWindow::OnPost, &SoakWindow::OnAlert} {}

SoakWindow::~SoakWindow() {
  for (int port = 1; port <= 10; ++port) KTClosePort(port);  // no worker outlives us
}

void SoakWindow::SetHandler(int port, Handler handler) { handlers[port] = std::move(handler); }

size_t SoakWindow::Alerts(int port) {
  std::lock_guard<std::mutex> hold(mutex);
  size_t count = 0;
  for (const auto& alert : alerts) count += port == 0 || alert.first == port;
  return count;
}

std::vector<std::string> SoakWindow::AlertTexts() {
  std::lock_guard<std::mutex> hold(mutex);
  std::vector<std::string> texts;
  for (const auto& alert : alerts) texts.push_back(alert.second);
  return texts;
}

bool SoakWindow::WaitAlerts(int port, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> hold(mutex);
  return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    size_t seen = 0;
    for (const auto& alert : alerts) seen += port == 0 || alert.first == port;
    return seen >= count;
  });
}

uint64_t SoakWindow::Unhandled() {
  std::lock_guard<std::mutex> hold(mutex);
  return unhandled;
}

void SoakWindow::OnPost(KTWindow* window, uint32_t message, uint32_t wParam, uintptr_t lParam) {
  auto* self = static_cast<SoakWindow*>(window);
  int port = (wParam >> 8) & 0xFF;
  if (message != WM_PORT_MESSAGE || port < 1 || port > 10 || !self->handlers[port]) {
    std::lock_guard<std::mutex> hold(self->mutex);
    self->unhandled += 1;
    return;
  }
  auto* data = reinterpret_cast<const uint8_t*>(lParam);
  size_t length = lParam != 0 ? wParam >> 16 : 0;
  self->handlers[port](static_cast<uint8_t>(wParam & 0xFF), {data, length}, lParam != 0);
}

void SoakWindow::OnAlert(KTWindow* window, const char* caption, const char* text) {
  auto* self = static_cast<SoakWindow*>(window);
  {
    std::lock_guard<std::mutex> hold(self->mutex);
    self->alerts.emplace_back(PortOfAlert(text), std::string(caption) + ": " + text);
  }
  self->changed.notify_all();
}

void Counter::Add(uint64_t n) {
  {
    std::lock_guard<std::mutex> hold(mutex);
    count += n;
  }
  changed.notify_all();
}

uint64_t Counter::Get() {
  std::lock_guard<std::mutex> hold(mutex);
  return count;
}

bool Counter::WaitFor(uint64_t target, int timeoutMs) {
  std::unique_lock<std::mutex> hold(mutex);
  return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                          [&] { return count >= target; });
}

int OpenPort(KTWindow* window, int port, int rxSize, int protocol, int txSize) {
  return KTOpenPort(window, port, txSize, rxSize, 115200, 'N', 8, 1, protocol);
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace ktcomm::soak
