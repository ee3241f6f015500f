// Bringing an error text to a person: through the application's KTWindow
// alert, or to standard error when there is none.
#pragma once

#include <string>

#include "api/ktcomm.h"

namespace ktcomm::diag {

inline constexpr char kErrorCaption[] = "Application Error";

// The report's text, cut to 199 characters as the fixed-size text always was.
std::string ComposeErrorText(const char* what, const std::string& systemText, int portNumber);

// Blocks until the window's alert returns; without one, writes the caption and
// the text to standard error as one block.
void PresentError(KTWindow* window, const std::string& text);

}  // namespace ktcomm::diag
