// The COM port names Windows lists, as random bytes: the DOS device list
// (NUL-separated), registry strings without their NUL, and the merge of the
// serial-port map with the DOS names. No crash, and what comes out holds
// its shape. Built on Linux: the parsing makes no system call.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/com_names.h"

namespace {

using ktcomm::platform::win32::ComName;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace win32 = ktcomm::platform::win32;
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<std::string> names = win32::SplitNameList(text, size);
  // The names are the list's own strings, in order, up to its end.
  std::string joined;
  for (const std::string& name : names) {
    Check(!name.empty() && name.find('\0') == std::string::npos);
    joined += name + '\0';
  }
  Check(joined.size() <= size + 1);
  Check(std::string_view(text, std::min(size, joined.size())) ==
        std::string_view(joined).substr(0, std::min(size, joined.size())));

  std::string first = win32::RegistryText(data, size);
  Check(first.size() <= size && first.find('\0') == std::string::npos);
  Check(names.empty() ? first.empty() : first == names[0]);

  for (const std::string& name : names) {
    int number = win32::ComNumber(name);
    Check(number >= 0 && number <= 255);
    if (number != 0) Check(Upper(name) == "COM" + std::to_string(number));
  }

  // The names as the map (each with the next as its device) and as DOS names.
  std::vector<ComName> mapped, dos;
  for (size_t i = 0; i < names.size(); ++i) {
    (i % 2 == 0 ? mapped : dos).push_back({names[i], i + 1 < names.size() ? names[i + 1] : ""});
  }
  auto found = win32::MergeComNames(mapped, dos);
  std::set<std::string> seen;
  int lastNumber = 0;
  bool pastPorts = false;
  for (const auto& port : found) {
    Check(port.path.rfind("\\\\.\\", 0) == 0 && port.path.size() > 4 && !port.tty.empty());
    std::string name = port.path.substr(4);
    Check(seen.insert(Upper(name)).second);  // each name once
    int number = win32::ComNumber(name);
    // COMn by number first, then the rest.
    if (number == 0) {
      pastPorts = true;
    } else {
      Check(!pastPorts && number > lastNumber);
      lastNumber = number;
    }
  }
  Check(found.size() <= names.size());
  return 0;
}
