#include "tools/cli/log_tap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "ktcomm.h"

namespace ktcomm::cli {
namespace {

std::string PrivateFile(const std::string& folder) {
  std::string name = folder + "/ktcomm-tap-XXXXXX";
  int fd = mkstemp(name.data());
  if (fd < 0) return "";
  close(fd);
  return name;
}

// Reads the file from `offset` on; the new offset in *offset.
std::string ReadFrom(const std::string& path, long long* offset) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(*offset);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  *offset += static_cast<long long>(text.size());
  return text;
}

}  // namespace

bool LogTap::Start(const std::string& log) {
  userLog = log;
  if (userLog.empty()) {
    for (std::string& file : privateFiles) file = PrivateFile(folder);
    if (privateFiles[0].empty() || privateFiles[1].empty()) return false;
    current = 0;
    if (!KTSetLogFileName(privateFiles[current].c_str())) return false;
  } else {
    struct stat st;
    userOffset = stat(userLog.c_str(), &st) == 0 ? st.st_size : 0;
  }
  active = KTEnableLogging(1, "a") != 0;
  return active;
}

std::vector<LogTap::Chunk> LogTap::Take() {
  std::vector<Chunk> chunks;
  if (!active) return chunks;
  if (!userLog.empty()) {
    KTEnableLogging(1, "a");
    Parse(ReadFrom(userLog, &userOffset), &chunks);
    return chunks;
  }
  // The other file was read to its end last time and nobody writes it now.
  int next = 1 - current;
  truncate(privateFiles[next].c_str(), 0);
  KTSetLogFileName(privateFiles[next].c_str());
  KTEnableLogging(1, "a");
  long long offset = 0;
  Parse(ReadFrom(privateFiles[current], &offset), &chunks);
  current = next;
  return chunks;
}

void LogTap::Stop() {
  if (!active) return;
  active = false;
  if (!userLog.empty()) return;
  // Closed now; a reopen after a hang-up opens /dev/null.
  KTSetLogFileName("/dev/null");
  KTEnableLogging(0, "a");
  for (const std::string& file : privateFiles) unlink(file.c_str());
}

// The log is words: "COM1", "Reading:" or "Writing:" where the direction
// changes, "opened"/"closed" lines, and each byte as two hex digits.
void LogTap::Parse(const std::string& text, std::vector<Chunk>* chunks) {
  std::string all = carry + text;
  carry.clear();
  size_t pos = 0;
  while (pos < all.size()) {
    if (std::isspace(static_cast<unsigned char>(all[pos]))) {
      ++pos;
      continue;
    }
    size_t end = pos;
    while (end < all.size() && !std::isspace(static_cast<unsigned char>(all[end]))) ++end;
    if (end == all.size()) {
      carry = all.substr(pos);  // may go on in what is written next
      break;
    }
    std::string word = all.substr(pos, end - pos);
    pos = end;
    if (word == "Reading:" || word == "Writing:") {
      reading = word == "Reading:";
      continue;
    }
    if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
        !std::isxdigit(static_cast<unsigned char>(word[1]))) {
      continue;
    }
    if (chunks->empty() || chunks->back().reading != reading) chunks->push_back({reading, {}});
    chunks->back().bytes.push_back(static_cast<uint8_t>(std::stoi(word, nullptr, 16)));
  }
}

}  // namespace ktcomm::cli
