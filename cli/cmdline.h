// What the command lines of skelvo-cli and skelvo-devsim share on top of CLI11: numbers read with
// std::from_chars and held to a range, and one way of ending on a usage error.
//
// CLI11's own number conversion is not used: it reads "010" as octal and "0x45" as a number, and
// takes leading white space.
#pragma once

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace skelvo::cmdline {

// The exit status of a command line that cannot be run as given.
constexpr int kUsageExit = 2;

// The whole of text as a number from min to max, or nothing.
template <typename T> std::optional<T> ParseNumber(std::string_view text, T min, T max) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

template <typename T> std::string NumberText(T value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// An option whose value is a number from min to max; set receives it. what names the kind of
// number in the error ("a port number", "a number of seconds").
template <typename T>
CLI::Option* AddNumber(CLI::App& app, const std::string& name, T min, T max, const std::string& what,
                       std::function<void(T)> set, const std::string& help) {
    CLI::Option* option = app.add_option_function<std::string>(
        name,
        [set = std::move(set), min, max](const std::string& text) { set(*ParseNumber(text, min, max)); },
        help);
    option->check(CLI::Validator(
        [min, max, what](std::string& text) -> std::string {
            if (ParseNumber(text, min, max))
                return {};
            return "\"" + text + "\" is not " + what + " from " + NumberText(min) + " to " + NumberText(max);
        },
        "", "range"));
    return option;
}

template <typename T>
CLI::Option* AddNumber(CLI::App& app, const std::string& name, T& target, T min, T max,
                       const std::string& what, const std::string& help) {
    return AddNumber<T>(
        app, name, min, max, what, [&target](T value) { target = value; }, help);
}

// The program and subcommand that were being parsed: "skelvo-cli upgrade".
inline std::string CommandName(const CLI::App& app) {
    std::string name = app.get_name();
    for (const CLI::App* at = &app; !at->get_subcommands().empty();) {
        at = at->get_subcommands().front();
        name += " " + at->get_name();
    }
    return name;
}

// Says why the command line cannot be run and returns the usage exit status.
inline int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n(see '%s --help')\n", command.c_str(), message.c_str(), command.c_str());
    return kUsageExit;
}

// The status to end with at once: 0 after --help or --version (printed on standard output), the
// usage status after a wrong command line (the reason on standard error). Nothing when the
// command line holds a command to run.
inline std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageError(CommandName(app), e.what());
    }
}

// CLI11's help, but an option whose value may be left out ("--verify-reboot{180}") is shown
// without its default in braces; its option_text says what the value is.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        std::string name = CLI::Formatter::make_option_name(option, positional);
        for (std::size_t open; (open = name.find('{')) != std::string::npos;)
            name.erase(open, name.find('}', open) - open + 1);
        return name;
    }
};

// The settings every command line of the project shares.
inline void Configure(CLI::App& app, const std::string& version) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_version_flag("--version", version, "print the version and exit");
    app.set_help_flag("-h,--help", "print this help and exit");
    // As before CLI11: a repeated option's last value counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.get_formatter()->column_width(28);
}

} // namespace skelvo::cmdline
