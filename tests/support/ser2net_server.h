// A ser2net of the caller's own (a test or a benchmark): serves one device,
// opened by its path, on a free port of 127.0.0.1 (or ::1), raw or with
// RFC 2217, from a generated configuration in a temporary folder of its own.
// Killed by the caller or when it goes out of scope. Needs no test framework.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/programs.h"

extern char** environ;

namespace ktcomm::test {

class Ser2netServer {
 public:
  // Where ser2net is installed; empty when it is not.
  static std::string Program() {
    return FindProgram("ser2net", "/usr/sbin:/usr/local/sbin:/sbin");
  }

  Ser2netServer() = default;
  ~Ser2netServer() { Kill(); RemoveFiles(); }
  Ser2netServer(const Ser2netServer&) = delete;
  Ser2netServer& operator=(const Ser2netServer&) = delete;

  // One more line for the connection's options, such as "chardelay: false";
  // applies from the next Start.
  void AddOption(const std::string& line) { extraOptions.push_back(line); }

  // Serves `device` with RFC 2217 (telnet) or raw; false when ser2net did
  // not listen within 5 s. A new user takes the device over from the last
  // one, so that a port can be closed and opened again at once.
  bool Start(const std::string& device, bool telnet, const std::string& host = "127.0.0.1") {
    isTelnet = telnet;
    listenHost = host;
    port = FreePort(host);
    if (port == 0 || !MakeFolder()) return false;
    std::string base = folder + "/ser2net";
    configPath = base + ".yaml";
    logPath = base + ".log";
    pidPath = base + ".pid";
    std::ofstream config(configPath);
    config << "connection: &device\n"
           << "  accepter: " << (telnet ? "telnet(rfc2217)," : "") << "tcp," << host << ","
           << port << "\n"
           << "  connector: serialdev," << device << ",115200n81,local\n"
           << "  options:\n"
           << "    kickolduser: true\n";
    for (const std::string& line : extraOptions) config << "    " << line << "\n";
    config.close();
    return Restart();
  }

  // Starts again with the configuration of the last Start, on the same port.
  bool Restart() {
    Kill();
    std::string program = Program();
    std::vector<std::string> args = {"ser2net", "-n", "-u", "-c", configPath, "-P", pidPath};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
      pid = -1;
      return false;
    }
    return WaitListening(5000);
  }

  // Ends ser2net at once, as a crash would: its connections drop.
  void Kill() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    Reap(pid);
    pid = -1;
  }

  std::string Url() const {
    std::string host = listenHost.find(':') != std::string::npos ? "[" + listenHost + "]"
                                                                  : listenHost;
    return std::string(isTelnet ? "rfc2217://" : "tcp://") + host + ":" + std::to_string(port);
  }
  int Port() const { return port; }

 private:
  // A port nobody listens on now; ser2net binds it with SO_REUSEADDR.
  static int FreePort(const std::string& host) {
    bool v6 = host.find(':') != std::string::npos;
    int s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    sockaddr_storage address{};
    socklen_t length;
    if (v6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
      length = sizeof *in6;
    } else {
      auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
      in4->sin_family = AF_INET;
      in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *in4;
    }
    int found = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      found = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    ::close(s);
    return found;
  }

  // Inodes of the sockets listening on `port`, from the kernel's tables.
  std::vector<std::string> ListeningInodes() const {
    std::vector<std::string> inodes;
    char hexPort[8];
    std::snprintf(hexPort, sizeof hexPort, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::ifstream in(table);
      std::string line;
      std::getline(in, line);  // the heading
      while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && local.ends_with(hexPort)) inodes.push_back(inode);
      }
    }
    return inodes;
  }

  // Whether one of our ser2net's descriptors is a socket listening on the port.
  bool OursListens() const {
    for (const std::string& inode : ListeningInodes()) {
      std::string wanted = "socket:[" + inode + "]";
      std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
      for (int fd = 0; fd < 64; ++fd) {
        char target[64];
        ssize_t n = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, n) == wanted) return true;
      }
    }
    return false;
  }

  bool WaitListening(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!OursListens()) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;  // exited: a bad configuration, or the port was taken
        return false;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // nothing to wait on
    }
    return true;
  }

  // A private folder under $TMPDIR (or /tmp) for the configuration, the
  // log and the pid file; made once.
  bool MakeFolder() {
    if (!folder.empty()) return true;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ktcomm_ser2net_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    folder = pattern;
    return true;
  }

  void RemoveFiles() {
    for (const std::string& path : {configPath, logPath, pidPath}) {
      if (!path.empty()) std::remove(path.c_str());
    }
    if (!folder.empty()) rmdir(folder.c_str());
  }

  pid_t pid = -1;
  bool isTelnet = false;
  std::string listenHost;
  int port = 0;
  std::vector<std::string> extraOptions;
  std::string folder;  // empty until the first Start
  std::string configPath;
  std::string logPath;
  std::string pidPath;
};

}  // namespace ktcomm::test
