// The pieces of the command line that the end-to-end runs cannot reach easily.
#include "cli/device_cli.h"
#include "cli/rescue.h"
#include "cli/terminal_confirm.h"
#include "engine/upgrade_record.h"

#include <gtest/gtest.h>

#include <cstdio>

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

TEST(JsonText, EscapesEverythingOutsidePrintableAscii) {
    EXPECT_EQ(JsonEscape("a\"b\\c\n\r\t"), "a\\\"b\\\\c\\n\\r\\t");
    EXPECT_EQ(JsonEscape(std::string("\x1b[2J\x7f\xff", 6)), "\\u001b[2J\\u007f\\u00ff");
    EXPECT_EQ(JsonLine().Add("s", "x").Add("n", 5).Add("b", true).AddNull("z").Text(),
              "{\"s\":\"x\",\"n\":5,\"b\":true,\"z\":null}");
}

TEST(Arguments, PortsAndSecondsAreWholeNumbersInRange) {
    EXPECT_EQ(ParsePort("69"), 69);
    EXPECT_EQ(ParsePort("65535"), 65535);
    for (const char* bad : {"0", "65536", "", "8x", "-1", " 80", "80 "})
        EXPECT_EQ(ParsePort(bad), std::nullopt) << bad;
    EXPECT_EQ(ParseSeconds("180"), 180);
    EXPECT_EQ(ParseSeconds("soon"), std::nullopt);
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
