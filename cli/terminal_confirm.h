// The confirmation question on the controlling terminal: Yes, No or Cancel, Cancel the default.
#pragma once

#include "cli/cli.h"
#include "upgrade/question.h"

#include <cstdio>
#include <functional>

namespace skelvo::cli {

// True when a terminal can be asked (the controlling terminal here, the console on Windows).
bool HaveTerminal();

// Shows the question and reads the answer from the terminal; Cancel when there is none. With
// `interrupted`, the wait for each line ends with Cancel as soon as it returns true (a signal).
ConfirmAnswer AskOnTerminal(const ConfirmQuestion& question, const std::function<bool()>& interrupted = {});

// Reads one answer from in, prompting on out: "y"/"yes", "n"/"no", "c"/"cancel" in any case; an
// empty line or the end of input is Cancel; anything else is asked again, three times at most.
// `waitForLine`, when given, is called before each line is read; false ends with Cancel.
ConfirmAnswer ReadAnswer(std::FILE* in, std::FILE* out, const std::function<bool()>& waitForLine = {});

} // namespace skelvo::cli
