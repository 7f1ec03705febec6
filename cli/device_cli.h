// What the probe and upgrade commands share: the exit codes' help, the password sources, the trace
// lines and the port's failure texts.
#pragma once

#include "cli/cli.h"
#include "upgrade/records.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skelvo::cli {

// The help text's table of exit codes.
extern const char kExitCodeHelp[];

// Where the password comes from; never the command line.
struct PasswordSource {
    bool fromStdin = false;
    std::string file;
};
// The password, or nothing after printing why; the product's default when no source is given.
std::optional<std::string> ReadPassword(const PasswordSource& source, std::string& error);

// The trace lines: silenced, or on standard output (as text or, with json, as JSON lines). A
// tagged line belongs to the host its tag names; with `onlyHost`, every line is that host's and
// no tag is written.
void RouteTrace(bool show, bool json, const std::string& onlyHost = {});

// Text on one line: each run of line breaks becomes one space.
std::string OneLineText(std::string_view text);

// What to do about a TFTP port that could not be bound with this socket error: run with privilege,
// or find the program that holds it. Empty for other errors.
std::string TftpPortHint(std::uint16_t port, int error);
// "the TFTP port N cannot be bound", with the hint when the error number gives one.
std::string PortFailure(std::uint16_t port, int error);

} // namespace skelvo::cli
