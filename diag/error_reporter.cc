#include "diag/error_reporter.h"

#include <cstdio>

namespace ktcomm::diag {

std::string ComposeErrorText(const char* what, const std::string& systemText, int portNumber) {
  char text[200];
  std::snprintf(text, sizeof text, "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n",
                what, systemText.c_str(), portNumber);
  return text;
}

}  // namespace ktcomm::diag
