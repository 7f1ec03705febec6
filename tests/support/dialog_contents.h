// Every text that a static control of the main dialog can be given, at its longest: for the tests
// that check, with each toolkit's own font metrics, that every text fits its control.
#pragma once

#include <string>
#include <vector>

namespace skelvo::test {

struct ControlContent {
    int id;           // a control of the main dialog
    std::string text; // exactly as the dialog shows it
};

// A host name of 127 characters in one word (the address box's limit), and a login of 79.
std::string LongestHostName();
std::string LongestLoginName();

// The step titles and descriptions, the success texts with and without the note on an unconfirmed
// end, every error text with the longest host and login, and the fixed texts of step 1.
std::vector<ControlContent> EveryMainDialogText();

} // namespace skelvo::test
