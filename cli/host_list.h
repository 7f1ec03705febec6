// The hosts of a command that takes several: those named on its command line and those of its
// hosts file.
#pragma once

#include <CLI/CLI.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace skelvo::cli {

// The hosts of a hosts file: one a line, surrounding blanks trimmed, blank lines and lines whose
// first non-blank character is '#' skipped. A host that is too long or holds a blank is an error
// naming its line.
std::optional<std::vector<std::string>> ReadHostList(std::istream& in, std::string& error);

// Appends the hosts of hostsFile ("-" for standard input) to hosts. Empty when all went well, else
// the error to report: an unreadable file, a bad line, or no host at all.
std::string AddHostsFile(const std::string& hostsFile, std::vector<std::string>& hosts);

// Declares HOST..., --hosts-file F and --parallel N (1 to 1000) on command.
void AddHostOptions(CLI::App& command, std::vector<std::string>& hosts, std::string& hostsFile, int& parallel,
                    const std::string& parallelHelp);

} // namespace skelvo::cli
