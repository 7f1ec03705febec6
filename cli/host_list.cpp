#include "cli/host_list.h"

#include "cli/cmdline.h"
#include "cli/commands.h"
#include "engine/trace.h"

#include <fstream>
#include <iostream>

namespace skelvo::cli {

std::optional<std::vector<std::string>> ReadHostList(std::istream& in, std::string& error) {
    std::vector<std::string> hosts;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::size_t begin = line.find_first_not_of(" \t\r");
        if (begin == std::string::npos || line[begin] == '#')
            continue;
        const std::string host = line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
        std::string problem = host.find_first_of(" \t") != std::string::npos
                                  ? "\"" + PrintableText(host) + "\" is not one host name"
                                  : HostName()(std::string(host));
        if (!problem.empty()) {
            error = "line " + std::to_string(number) + ": " + problem;
            return std::nullopt;
        }
        hosts.push_back(host);
    }
    return hosts;
}

std::string AddHostsFile(const std::string& hostsFile, std::vector<std::string>& hosts) {
    const std::string named = "the hosts file \"" + PrintableText(hostsFile) + "\"";
    std::string error;
    std::optional<std::vector<std::string>> listed;
    if (hostsFile == "-") {
        listed = ReadHostList(std::cin, error);
    } else {
        std::ifstream in(hostsFile, std::ios::binary);
        if (!in)
            return "cannot read " + named;
        listed = ReadHostList(in, error);
    }
    if (!listed)
        return named + ", " + error;
    hosts.insert(hosts.end(), listed->begin(), listed->end());
    if (hosts.empty())
        return named + " names no host";
    return {};
}

void AddHostOptions(CLI::App& command, std::vector<std::string>& hosts, std::string& hostsFile, int& parallel,
                    const std::string& parallelHelp) {
    command.add_option("HOST", hosts, "the devices' names or addresses")->check(HostName());
    command
        .add_option("--hosts-file", hostsFile,
                    "more hosts, one a line ('#' starts a comment);\n- reads them from standard input")
        ->type_name("F")
        ->check(TextField("hosts file name"));
    cmdline::AddNumber(command, "--parallel", parallel, 1, 1000, "a number of devices", parallelHelp)
        ->type_name("N");
}

} // namespace skelvo::cli
