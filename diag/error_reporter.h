// The text and caption of an error report; the platform brings them to a
// person (a message box on Windows, the KTWindow's alert on Linux).
#pragma once

#include <string>

namespace ktcomm::diag {

inline constexpr char kErrorCaption[] = "Application Error";

// The report's text, cut to 199 characters as the fixed-size text always was.
std::string ComposeErrorText(const char* what, const std::string& systemText, int portNumber);

}  // namespace ktcomm::diag
