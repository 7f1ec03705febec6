// The pieces of the command line that the end-to-end runs cannot reach easily.
#include "cli/cmdline.h"
#include "cli/device_cli.h"
#include "cli/host_list.h"
#include "cli/terminal_confirm.h"
#include "cli/upgrade.h"
#include "engine/upgrade_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

using namespace skelvo::cli;

namespace {

ConfirmAnswer Answer(const std::string& typed, std::string* prompts = nullptr) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fputs(typed.c_str(), in);
    std::rewind(in);
    ConfirmAnswer a = ReadAnswer(in, out);
    if (prompts != nullptr) {
        std::rewind(out);
        char buf[512] = {};
        std::size_t n = std::fread(buf, 1, sizeof buf - 1, out);
        prompts->assign(buf, n);
    }
    std::fclose(in);
    std::fclose(out);
    return a;
}

} // namespace

TEST(TerminalAnswer, CancelIsTheDefault) {
    EXPECT_EQ(Answer("\n"), ConfirmAnswer::Cancel);
    EXPECT_EQ(Answer(""), ConfirmAnswer::Cancel) << "end of input";
    EXPECT_EQ(Answer("c\n"), ConfirmAnswer::Cancel);
    EXPECT_EQ(Answer("y\n"), ConfirmAnswer::Yes);
    EXPECT_EQ(Answer("  YES \r\n"), ConfirmAnswer::Yes);
    EXPECT_EQ(Answer("No\n"), ConfirmAnswer::No);
}

TEST(TerminalAnswer, UnclearAnswersAreAskedAgainThreeTimesAtMost) {
    std::string prompts;
    EXPECT_EQ(Answer("sure\ny\n", &prompts), ConfirmAnswer::Yes);
    EXPECT_NE(prompts.find("Please answer yes, no or cancel."), std::string::npos);
    EXPECT_EQ(Answer("a\nb\nc d\ny\n"), ConfirmAnswer::Cancel) << "the fourth line is never read";
}

TEST(JsonText, ValidUtf8WhateverTheBytesAndNothingATerminalObeys) {
    const std::string line = JsonLine()
                                 .Add("text", "caf\xc3\xa9")
                                 .Add("broken", std::string("a\xff"
                                                            "b\xc3",
                                                            4))
                                 .Add("controls", "\x1b[2J\x7f\xc2\x9b"
                                                  "1m\n")
                                 .Text();
    ASSERT_TRUE(nlohmann::json::accept(line)) << line;
    EXPECT_NE(line.find("\"caf\xc3\xa9\""), std::string::npos) << "UTF-8 as it is: " << line;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        EXPECT_FALSE(c < 0x20 || c == 0x7F) << "raw control byte at " << i << ": " << line;
        if (c == 0xC2 && i + 1 < line.size()) {
            EXPECT_FALSE(static_cast<unsigned char>(line[i + 1]) <= 0x9F) << "raw C1 control at " << i;
        }
    }
    const auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["text"], "caf\xc3\xa9");
    EXPECT_EQ(parsed["broken"], "a\xef\xbf\xbd"
                                "b\xef\xbf\xbd")
        << "U+FFFD for each bad byte";
    EXPECT_EQ(parsed["controls"], "\x1b[2J\x7f\xc2\x9b"
                                  "1m\n")
        << "escaped, not lost";

    EXPECT_EQ(JsonLine().Add("s", "x").Add("n", 5).Add("b", true).AddNull("z").Text(),
              "{\"s\":\"x\",\"n\":5,\"b\":true,\"z\":null}")
        << "fields in the order they were added";
}

TEST(Arguments, NumbersAreWholeDecimalAndInRange) {
    using skelvo::cmdline::ParseNumber;
    EXPECT_EQ(ParseNumber<std::uint16_t>("69", 1, 65535), 69);
    EXPECT_EQ(ParseNumber<std::uint16_t>("65535", 1, 65535), 65535);
    EXPECT_EQ(ParseNumber<std::uint16_t>("010", 1, 65535), 10) << "decimal, not octal";
    for (const char* bad : {"0", "65536", "", "8x", "-1", " 80", "80 ", "0x45", "+80", "1e3"})
        EXPECT_EQ(ParseNumber<std::uint16_t>(bad, 1, 65535), std::nullopt) << bad;
    EXPECT_EQ(ParseNumber<double>("0.2", 0.0, 86400.0), 0.2);
    EXPECT_EQ(ParseNumber<double>("-0.5", 0.0, 86400.0), std::nullopt);
}

struct ParsedUpgrade {
    std::optional<int> end; // the exit status when the command line does not run
    UpgradeOptions o;
};

ParsedUpgrade ParseUpgrade(std::vector<std::string> args) {
    args.insert(args.begin(), {"skelvo-cli", "upgrade"});
    args = AttachRebootSeconds(std::move(args));
    std::vector<const char*> argv;
    for (const auto& arg : args)
        argv.push_back(arg.c_str());
    ParsedUpgrade parsed;
    CLI::App program("", "skelvo-cli");
    skelvo::cmdline::Configure(program, "test");
    DeclareUpgrade(program, parsed.o);
    parsed.end = skelvo::cmdline::Parse(program, static_cast<int>(argv.size()), argv.data());
    return parsed;
}

TEST(UpgradeCommandLine, AValueIsNeverTakenForAHost) {
    using Hosts = std::vector<std::string>;
    const ParsedUpgrade spaced = ParseUpgrade({"192.0.2.7", "--verify-reboot", "30"});
    EXPECT_EQ(spaced.end, std::nullopt);
    EXPECT_EQ(spaced.o.hosts, Hosts{"192.0.2.7"});
    EXPECT_EQ(spaced.o.verifyReboot, 30);
    EXPECT_EQ(ParseUpgrade({"192.0.2.7", "--verify-reboot=45"}).o.verifyReboot, 45);

    const ParsedUpgrade bare = ParseUpgrade({"--verify-reboot", "192.0.2.7", "192.0.2.8"});
    EXPECT_EQ(bare.o.hosts, (Hosts{"192.0.2.7", "192.0.2.8"})) << "a host after the option stays a host";
    EXPECT_EQ(bare.o.verifyReboot, kDefaultRebootWait);
    EXPECT_EQ(ParseUpgrade({"192.0.2.7"}).o.verifyReboot, std::nullopt);

    const ParsedUpgrade both = ParseUpgrade({"h", "--tftp-port=16969", "--http-port", "8080", "--login", "a",
                                             "--login=b", "--fetch-timeout", "5"});
    EXPECT_EQ(both.end, std::nullopt);
    EXPECT_EQ(both.o.hosts, Hosts{"h"});
    EXPECT_EQ(both.o.tftpPort, 16969);
    EXPECT_EQ(both.o.httpPort, 8080);
    EXPECT_EQ(both.o.login, "b") << "the last of a repeated option";
    EXPECT_EQ(both.o.fetchTimeout, 5);
}

TEST(UpgradeCommandLine, BadValuesAreUsageErrorsAndHelpIsNot) {
    for (const std::vector<std::string>& bad : {std::vector<std::string>{},
                                                {"h", "--verify-reboot=soon"},
                                                {"h", "--verify-reboot=0"},
                                                {"h", "--tftp-port", "0x45"},
                                                {"h", "--http-port", "65536"},
                                                {"h", "--idle-timeout", " 60"},
                                                {"h", "--fetch-timeout"},
                                                {"h", "--programming-wait", "86401"},
                                                {"h", "--image", ""},
                                                {"h", "--login", std::string(80, 'L')},
                                                {std::string(128, 'h')},
                                                {"h", "--bogus"}})
        EXPECT_EQ(ParseUpgrade(bad).end, kExitBadUsage) << (bad.empty() ? "no host" : bad.back());
    EXPECT_EQ(ParseUpgrade({"--help"}).end, kExitComplete);
}

TEST(Password, NeverFromTheCommandLineAndBoundedInLength) {
    PasswordSource both;
    both.fromStdin = true;
    both.file = "x";
    std::string error;
    EXPECT_FALSE(ReadPassword(both, error));
    PasswordSource missing;
    missing.file = "/nonexistent/password";
    EXPECT_FALSE(ReadPassword(missing, error));
    EXPECT_NE(error.find("/nonexistent/password"), std::string::npos);
}

TEST(RescueCommand, NamesTheModelsImageAndAPortOtherThan69) {
    EXPECT_EQ(RescueCommandLine("192.0.2.7", SERVER_TOLVA_22XX, "", 69),
              "skelvo-cli rescue 192.0.2.7 --builtin tolva22");
    EXPECT_EQ(RescueCommandLine("dev-7.example", SERVER_TOLVA, "", 16969),
              "skelvo-cli rescue dev-7.example --builtin tolva21 --tftp-port 16969")
        << "a Tolva of another model is served the 21xx image";
    EXPECT_EQ(RescueCommandLine("192.0.2.7", SERVER_DRAVENHOLT, "", 69),
              "skelvo-cli rescue 192.0.2.7 --builtin dravenholt");
    EXPECT_EQ(RescueCommandLine("192.0.2.7", SERVER_DRAVENHOLT, "", 69, true),
              "skelvo-cli rescue 192.0.2.7 --builtin dravenholt --tftp-no-options");
    EXPECT_EQ(RescueCommandLine("192.0.2.7", SERVER_USER_FILE, "/srv/fw/a.bin", 69),
              "skelvo-cli rescue 192.0.2.7 --image /srv/fw/a.bin");
    const std::string relative = RescueCommandLine("h", SERVER_USER_FILE, "fw/a.bin", 69);
    EXPECT_EQ(relative.rfind("skelvo-cli rescue h --image /", 0), 0u) << "made absolute: " << relative;
    EXPECT_NE(relative.find("/fw/a.bin"), std::string::npos) << relative;
}

#if !defined(_WIN32)
// What the shell reads back from a quoted word is the word itself, whatever it holds.
TEST(RescueCommand, QuotesWordsSoThatTheShellReadsThemBack) {
    EXPECT_EQ(ShellQuote("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(ShellQuote("/srv/fw/v1.0.9+x.bin"), "/srv/fw/v1.0.9+x.bin");
    for (const std::string word : {"/srv/my fw/a.bin", "it's", "$(reboot)", "a\"b`c", "", "*.bin", "x;y"}) {
        const std::string quoted = ShellQuote(word);
        std::FILE* shell = popen(("printf '%s' " + quoted).c_str(), "r");
        ASSERT_NE(shell, nullptr);
        char buffer[256] = {};
        const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, shell);
        pclose(shell);
        EXPECT_EQ(std::string(buffer, n), word) << quoted;
    }
}
#endif

TEST(HostsFile, OneHostALineWithCommentsAndBlankLinesSkipped) {
    std::string error;
    std::istringstream good("# lab A\n\n  192.0.2.7  \r\n\t# spare\ndev-8.example\n192.0.2.9");
    EXPECT_EQ(ReadHostList(good, error),
              (std::vector<std::string>{"192.0.2.7", "dev-8.example", "192.0.2.9"}));
    std::istringstream twoOnALine("192.0.2.7\n192.0.2.8 192.0.2.9\n");
    EXPECT_EQ(ReadHostList(twoOnALine, error), std::nullopt);
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    std::istringstream tooLong(std::string(128, 'h') + "\n");
    EXPECT_EQ(ReadHostList(tooLong, error), std::nullopt);
    EXPECT_EQ(error.rfind("line 1: ", 0), 0u) << error;
}

TEST(UpgradeCommandLine, AHostsFileStandsInForTheHosts) {
    const ParsedUpgrade listed =
        ParseUpgrade({"--hosts-file", "hosts.txt", "--parallel", "4", "--allow-older"});
    EXPECT_EQ(listed.end, std::nullopt);
    EXPECT_TRUE(listed.o.hosts.empty());
    EXPECT_EQ(listed.o.parallel, 4);
    EXPECT_TRUE(listed.o.policy.allowOlder);
    EXPECT_EQ(ParseUpgrade({"h"}).o.parallel, kDefaultParallel);
    EXPECT_EQ(ParseUpgrade({"h", "--parallel", "0"}).end, kExitBadUsage);
}
