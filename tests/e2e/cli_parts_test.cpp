// The pieces of the command line that the end-to-end runs cannot reach easily.
#include "cli/device_cli.h"
#include "cli/terminal_confirm.h"

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
