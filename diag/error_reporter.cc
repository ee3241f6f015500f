#include "diag/error_reporter.h"

#include <cstdio>

namespace ktcomm::diag {

std::string ComposeErrorText(const char* what, const std::string& systemText, int portNumber) {
  char text[200];
  std::snprintf(text, sizeof text, "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n",
                what, systemText.c_str(), portNumber);
  return text;
}

void PresentError(KTWindow* window, const std::string& text) {
  if (window != nullptr && window->alert != nullptr) {
    window->alert(window, kErrorCaption, text.c_str());
    return;
  }
  std::string block = std::string(kErrorCaption) + ": " + text;
  std::fwrite(block.data(), 1, block.size(), stderr);
  std::fflush(stderr);
}

}  // namespace ktcomm::diag
