// A network serial server that misbehaves on purpose, for tests: it listens
// on a free port of 127.0.0.1, takes one connection and speaks Telnet with
// com port control as a cooperative server would, until its mode tells it to
// flood, go deaf or reset. Runs on a thread of its own; stops by itself when
// its lifetime is over, and on Stop or destruction. Needs no test framework.
// Its own small Telnet parser answers the client, so that what the library's
// codec gets wrong is not mirrored here.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ktcomm::test {

class HostileServer {
 public:
  enum class Mode {
    // Negotiates; on Misbehave sends IAC DO <option> (options vary) without
    // end and never reads again.
    kNegotiationFlood,
    // Answers nothing: streams data bytes from the moment it connects.
    kDataFlood,
    // Negotiates; on Misbehave never reads again, so the client's output
    // backs up. Its receive buffer is small, so that this happens soon.
    kStopReading,
    // Negotiates; on Misbehave resets the connection (no orderly close).
    kReset,
  };

  explicit HostileServer(Mode mode, int lifetimeMs = 20000)
      : mode(mode), deadline(Clock::now() + std::chrono::milliseconds(lifetimeMs)) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return;
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (mode == Mode::kStopReading) {
      int bytes = 4096;  // inherited by the accepted socket
      setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(listener);
      listener = -1;
      return;
    }
    port = ntohs(address.sin_port);
    thread = std::thread([this] { Run(); });
  }
  ~HostileServer() { Stop(); }
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  bool ok() const { return listener >= 0; }
  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }

  // Switches from cooperating to the mode's misbehaviour and waits until the
  // server has switched (for kReset: the reset is done); false on time-out.
  bool Misbehave(int timeoutMs = 2000) {
    misbehave = true;
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [this] { return misbehaving; });
  }
  // How many com port requests (purges included) were answered so far.
  int answered() const { return requestsAnswered.load(); }
  // kStopReading: bytes waiting unread in the server's receive queue, as of
  // the last look (every few milliseconds).
  size_t unread() const { return unreadBytes.load(); }

  // Closes the connection and the listener; returns when the thread is gone.
  void Stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
    if (listener >= 0) ::close(listener);
    listener = -1;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int kTickMs = 10;  // how often the thread looks at its flags

  static constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251,
                           kSb = 250, kSe = 240;
  static constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

  bool Running() const { return !stopping && Clock::now() < deadline; }

  void Run() {
    int connection = Accept();
    if (connection < 0) return;
    if (mode == Mode::kDataFlood) {
      Announce();
      Flood(connection, std::vector<uint8_t>(65536, 0x55));
    } else if (Negotiate(connection)) {
      Misbehaving(connection);
    }
    if (connection >= 0) ::close(connection);
  }

  int Accept() {
    while (Running()) {
      pollfd pfd{listener, POLLIN, 0};
      if (::poll(&pfd, 1, kTickMs) <= 0) continue;
      int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (connection >= 0) return connection;
    }
    return -1;
  }

  void Announce() {
    {
      std::lock_guard<std::mutex> hold(mutex);
      misbehaving = true;
    }
    changed.notify_all();
  }

  // Serves the client until Misbehave; false when the connection or the
  // server's time ended first.
  bool Negotiate(int connection) {
    while (Running() && !misbehave) {
      pollfd pfd{connection, POLLIN, 0};
      if (::poll(&pfd, 1, kTickMs) <= 0) continue;
      uint8_t buffer[4096];
      ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
      std::vector<uint8_t> reply;
      for (ssize_t i = 0; i < n; ++i) Parse(buffer[i], &reply);
      if (!SendAll(connection, reply)) return false;
    }
    return Running();
  }

  void Misbehaving(int& connection) {
    switch (mode) {
      case Mode::kNegotiationFlood: {
        std::vector<uint8_t> flood;
        for (int round = 0; round < 16; ++round) {
          for (int option = 1; option < 255; ++option) {
            if (option == kSuppressGoAhead || option == kComPort) continue;
            flood.insert(flood.end(), {kIac, kDo, static_cast<uint8_t>(option)});
          }
        }
        Announce();
        Flood(connection, flood);
        return;
      }
      case Mode::kStopReading:
        Announce();
        while (Running()) {
          int queued = 0;
          if (ioctl(connection, FIONREAD, &queued) == 0) unreadBytes = static_cast<size_t>(queued);
          std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
        }
        return;
      case Mode::kReset: {
        linger abort{1, 0};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(connection);
        connection = -1;
        Announce();
        return;
      }
      case Mode::kDataFlood:
        return;
    }
  }

  // Sends the same bytes over and over, reading nothing, until the client
  // goes or the server stops.
  void Flood(int connection, const std::vector<uint8_t>& bytes) {
    while (SendAll(connection, bytes)) {
    }
  }

  bool SendAll(int connection, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      if (!Running()) return false;
      ssize_t n = ::send(connection, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd pfd{connection, POLLOUT, 0};
        ::poll(&pfd, 1, kTickMs);
      } else if (n < 0 && errno != EINTR) {
        return false;
      }
    }
    return true;
  }

  // One byte from the client; answers go to *reply.
  void Parse(uint8_t byte, std::vector<uint8_t>* reply) {
    switch (state) {
      case State::kData:
        if (byte == kIac) state = State::kCommand;
        return;
      case State::kCommand:
        state = State::kData;
        if (byte >= kWill && byte <= kDont) {
          verb = byte;
          state = State::kOption;
        } else if (byte == kSb) {
          sub.clear();
          state = State::kSub;
        }
        return;
      case State::kOption:
        state = State::kData;
        Answer(verb, byte, reply);
        return;
      case State::kSub:
        if (byte == kIac) {
          state = State::kSubIac;
        } else {
          sub.push_back(byte);
        }
        return;
      case State::kSubIac:
        if (byte == kIac) {
          sub.push_back(kIac);
          state = State::kSub;
        } else {
          state = State::kData;
          if (byte == kSe) AnswerRequest(reply);
        }
        return;
    }
  }

  // Agrees to com port control and binary both ways and to suppressing
  // go-ahead, once each; refuses everything else.
  void Answer(uint8_t asked, uint8_t option, std::vector<uint8_t>* reply) {
    if (asked == kWill) {
      bool agree = option == kComPort || option == kBinary;
      if (agree && theirsOn[option]) return;
      if (agree) theirsOn.set(option);
      reply->insert(reply->end(), {kIac, agree ? kDo : kDont, option});
    } else if (asked == kDo) {
      bool agree = option == kBinary || option == kSuppressGoAhead;
      if (agree && oursOn[option]) return;
      if (agree) oursOn.set(option);
      reply->insert(reply->end(), {kIac, agree ? kWill : kWont, option});
    }
  }

  // SB 44 <command> <value> SE is answered with SB 44 <command + 100>
  // <the same value> SE: every setting, and every purge, is granted.
  void AnswerRequest(std::vector<uint8_t>* reply) {
    if (sub.size() < 2 || sub[0] != kComPort || sub[1] >= 100) return;
    reply->insert(reply->end(), {kIac, kSb, kComPort, static_cast<uint8_t>(sub[1] + 100)});
    for (size_t i = 2; i < sub.size(); ++i) {
      reply->push_back(sub[i]);
      if (sub[i] == kIac) reply->push_back(kIac);
    }
    reply->insert(reply->end(), {kIac, kSe});
    requestsAnswered += 1;
  }

  const Mode mode;
  const Clock::time_point deadline;
  int listener = -1;
  int port = 0;
  std::thread thread;

  // Set by the test, read by the server thread.
  std::atomic<bool> stopping{false};
  std::atomic<bool> misbehave{false};

  // Set by the server thread, read by the test.
  std::mutex mutex;
  std::condition_variable changed;
  bool misbehaving = false;  // under mutex
  std::atomic<int> requestsAnswered{0};
  std::atomic<size_t> unreadBytes{0};

  // Server thread only: the parser and what was agreed.
  enum class State { kData, kCommand, kOption, kSub, kSubIac };
  State state = State::kData;
  uint8_t verb = 0;
  std::vector<uint8_t> sub;
  std::bitset<256> oursOn, theirsOn;
};

}  // namespace ktcomm::test
