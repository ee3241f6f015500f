// ktcomm-sim: a simulated device on a pseudo-terminal, for trying KTcomm
// programs without hardware. Prints the path to open, then each frame it
// receives and what it answered, until SIGINT or SIGTERM (or, with
// --exit-on-hangup, until its client closes the line).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/hex.h"
#include "tools/common/stop_signals.h"
#include "tools/sim/sim_device.h"

namespace {

using ktcomm::sim::DeviceOptions;
using ktcomm::sim::Frame;

// "RATE[:CMD[:HEX]]" into the stream fields of *options.
bool ParseStream(const std::string& text, DeviceOptions* options, std::string* error) {
  *error = "--stream '" + text + "' is not RATE[:CMD[:HEX]]";
  size_t first = text.find(':');
  try {
    size_t used = 0;
    std::string rate = text.substr(0, first);
    options->streamRate = std::stod(rate, &used);
    if (used != rate.size() || !(options->streamRate > 0) || options->streamRate > 100000) {
      return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  if (first == std::string::npos) return true;
  size_t second = text.find(':', first + 1);
  std::string command = text.substr(first + 1, second - first - 1);
  if (!ktcomm::hex::ParseByte(command, &options->streamCommand)) return false;
  if (second == std::string::npos) return true;
  std::vector<uint8_t> data;
  if (!ktcomm::hex::Parse(std::string_view(text).substr(second + 1), &data)) return false;
  options->streamData = std::move(data);
  return true;
}

void PrintFrame(const char* arrow, const Frame& frame) {
  std::printf("%s %02x%s%s\n", arrow, frame.command, frame.data.empty() ? "" : " ",
              ktcomm::hex::Format(frame.data).c_str());
}

// Points `link` at the device, replacing a link an earlier run left (so a
// client with --reconnect finds the new device under the old name), but
// never a file that is not a link. Returns what went wrong, or "".
std::string PlaceLink(const std::string& link, const std::string& target) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    return link + " exists and is not a link; not replacing it";
  }
  // Made aside and renamed over the old one, so that the name never
  // points nowhere while a client looks.
  std::string aside = link + ".new" + std::to_string(getpid());
  unlink(aside.c_str());
  if (symlink(target.c_str(), aside.c_str()) != 0) {
    return "cannot make the link " + link + ": " + std::strerror(errno);
  }
  if (rename(aside.c_str(), link.c_str()) != 0) {
    std::string error = "cannot make the link " + link + ": " + std::strerror(errno);
    unlink(aside.c_str());
    return error;
  }
  return "";
}

// Removes the link if it still points at this run's device. A simulator
// started as this one ends may have put its own link there already: the
// name is moved aside before it is looked at, and put back when it turns
// out to be the other's, so that it is never removed under the other.
void RemoveLink(const std::string& link, const std::string& target) {
  std::string aside = link + ".old" + std::to_string(getpid());
  if (rename(link.c_str(), aside.c_str()) != 0) return;
  char points[4096];
  ssize_t length = readlink(aside.c_str(), points, sizeof points - 1);
  bool ours = length >= 0 && std::string(points, static_cast<size_t>(length)) == target;
  // A hard link to the link itself; fails if yet another one came since.
  if (!ours) (void)linkat(AT_FDCWD, aside.c_str(), AT_FDCWD, link.c_str(), 0);
  unlink(aside.c_str());
}

// Waits for SIGINT, SIGTERM or the device's own end. Returns the exit code.
int Serve(ktcomm::sim::Device& device, int signals) {
  std::array<pollfd, 2> fds = {{{signals, POLLIN, 0}, {device.EndedFd(), POLLIN, 0}}};
  while (poll(fds.data(), fds.size(), -1) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "ktcomm-sim: poll: %s\n", std::strerror(errno));
      return 1;
    }
  }
  if (fds[1].revents == 0) return 0;
  if (device.HungUp()) {
    std::fprintf(stderr, "ktcomm-sim: the client closed the line\n");
    return 0;
  }
  std::fprintf(stderr, "ktcomm-sim: the line failed\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A simulated KTcomm device on a pseudo-terminal.\n"
      "Prints the device path to open, then '<- CMD DATA' for each frame\n"
      "received and '-> CMD DATA' for each reply. By default every\n"
      "protocol-1 command (10 1a 1f ce 05 5a 3e 3c 24) is answered with\n"
      "the same command and data, and other commands go unanswered.",
      "ktcomm-sim"};
  DeviceOptions options;
  std::vector<std::string> rules;
  std::string stream;
  std::string link;
  int exportPort = 0;
  bool quiet = false;
  app.add_option("--protocol", options.protocol, "Framing of what the device sends")
      ->check(CLI::IsMember({1, 2}))
      ->capture_default_str();
  app.add_option("--reply", rules,
                 "Answer command CMD with the frame HEX (its command\n"
                 "byte, then data); CMD= keeps the device silent for CMD")
      ->type_name("CMD=HEX");
  app.add_option("--stream", stream,
                 "Send RATE unsolicited frames a second, of command\n"
                 "CMD (default 1a) with data HEX (default: a sequence byte)")
      ->type_name("RATE[:CMD[:HEX]]");
  app.add_flag("--noise", options.noise,
               "Put garbage and broken frames between the frames the device sends");
  app.add_option("--seed", options.seed, "Seed of the noise")->capture_default_str();
  app.add_option("--export", exportPort, "Also print KTCOMM_COM<N>=<path> for port N")
      ->type_name("N")
      ->check(CLI::Range(1, 10));
  app.add_option("--link", link,
                 "Also make PATH a symbolic link to the device, and print PATH\n"
                 "as the path to open: a name that stays when the simulator\n"
                 "restarts on another pseudo-terminal (removed at exit)")
      ->type_name("PATH");
  app.add_flag("--exit-on-hangup", options.endOnHangup,
               "Exit when the first client closes the line again");
  app.add_flag("-q,--quiet", quiet, "Print only the path");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ktcomm-sim: %s\n", e.what());
    return 2;
  }
  for (const std::string& rule : rules) {
    std::string error;
    if (!options.replies.AddRule(rule, &error)) {
      std::fprintf(stderr, "ktcomm-sim: %s\n", error.c_str());
      return 2;
    }
  }
  if (!stream.empty()) {
    std::string error;
    if (!ParseStream(stream, &options, &error)) {
      std::fprintf(stderr, "ktcomm-sim: %s\n", error.c_str());
      return 2;
    }
  }
  if (!quiet) {
    options.onFrame = [](const Frame& received, const std::optional<Frame>& reply) {
      PrintFrame("<-", received);
      if (reply) PrintFrame("->", *reply);
      std::fflush(stdout);
    };
  }

  // Blocked before the device thread starts, so that it inherits the mask
  // and the signals arrive only through the signalfd.
  int signals = ktcomm::tools::BlockStopSignals();
  if (signals < 0) {
    std::fprintf(stderr, "ktcomm-sim: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  ktcomm::sim::Device device;
  if (int err = device.Start(std::move(options))) {
    std::fprintf(stderr, "ktcomm-sim: cannot create the pseudo-terminal: %s\n", std::strerror(err));
    close(signals);
    return 1;
  }
  std::string path = device.Path();
  if (!link.empty()) {
    if (std::string error = PlaceLink(link, device.Path()); !error.empty()) {
      std::fprintf(stderr, "ktcomm-sim: %s\n", error.c_str());
      device.Stop();
      close(signals);
      return 1;
    }
    path = link;
  }
  std::printf("%s\n", path.c_str());
  if (exportPort != 0) std::printf("KTCOMM_COM%d=%s\n", exportPort, path.c_str());
  std::fflush(stdout);

  int code = Serve(device, signals);
  if (!link.empty()) RemoveLink(link, device.Path());
  device.Stop();
  close(signals);
  return code;
}
