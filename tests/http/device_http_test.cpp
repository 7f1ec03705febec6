#include "http/device_http.h"

#include "engine/upgrade_record.h"
#include "tests/http/tiny_http_server.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

#if defined(_WIN32)
#include <winsock2.h>
#define popen _popen
#define pclose _pclose
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kTimedOut = WSAETIMEDOUT;
constexpr int kReset = WSAECONNRESET;
#else
constexpr int kRefused = ECONNREFUSED;
constexpr int kTimedOut = ETIMEDOUT;
constexpr int kReset = ECONNRESET;
#endif

using skelvo::test::EventRecorder;
using skelvo::test::ScriptedReply;
using skelvo::test::TinyHttpServer;

namespace {

std::string Host() {
    return "127.0.0.1";
}

class DeviceHttp : public ::testing::Test {
  protected:
    void SetUp() override { ResetUpgradeRecord(); }
    void Use(const TinyHttpServer& server) { m_call.port = server.port(); }
    // The exchange's value: the test's server, and the handler table for its events.
    HttpCall& Call() { return m_call; }
    HttpCall Call(const char* host) {
        HttpCall call = m_call;
        call.host = host;
        return call;
    }

    HttpCall m_call = LocalCall();

  private:
    static HttpCall LocalCall() {
        HttpCall call;
        call.host = Host();
        return call;
    }
};

std::string Errno(const char* text, int error) {
    return std::string(text) + " [errno=" + std::to_string(error) + "]\n";
}

std::string Answer(const std::string& serverLine) {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n" + serverLine + "\r\n\r\n<html>hello</html>";
}

// Base64 as another program writes it, for comparison.
std::string CoreutilsBase64(const std::string& text) {
    std::string command = "printf '%s' '" + text + "' | base64 -w0";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    std::array<char, 512> buf{};
    while (pipe && std::fgets(buf.data(), buf.size(), pipe.get()) != nullptr)
        out += buf.data();
    return out;
}

} // namespace

TEST(Base64, MatchesTheRfc4648TestVectors) {
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("f"), "Zg==");
    EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
    EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
    EXPECT_EQ(EncodeBase64("foob"), "Zm9vYg==");
    EXPECT_EQ(EncodeBase64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
    // Bytes above 0x7F are taken as unsigned values.
    EXPECT_EQ(EncodeBase64("\xff\xfe\xfd"), "//79");
}

TEST(Base64, CredentialsAreLoginColonPasswordHeldWhole) {
    EXPECT_EQ(EncodeCredentials("root", "marlin"), "cm9vdDptYXJsaW4=");
    EXPECT_EQ(EncodeCredentials("", ""), "Og==");
    const std::string login(79, 'L');
    const std::string password(79, 'p');
    const std::string encoded = EncodeCredentials(login, password);
    EXPECT_EQ(encoded.size(), 212u);
    const std::string other = CoreutilsBase64(login + ":" + password);
    if (!other.empty()) {
        EXPECT_EQ(encoded, other);
    }
}

TEST(VersionExtraction, DropsOneTrailingLetterOnly) {
    EXPECT_EQ(ExtractVersion("Server: Dravenholt II/6.2.1\r\n"), "6.2.1");
    EXPECT_EQ(ExtractVersion("Server: Dravenholt II/6.2.1b\r\n"), "6.2.1");
    EXPECT_EQ(ExtractVersion("Server: Dravenholt II/6.2.1ab\r\n"), "6.2.1a");
    EXPECT_EQ(ExtractVersion("Server: Tolva 2100/\r\n"), "");
    EXPECT_EQ(ExtractVersion("Server: Tolva 2100/b\r\n"), "");
}

TEST(VersionExtraction, LineEndsAtCrElseAtTheEndOfACompleteAnswer) {
    // Only a carriage return ends the version: a bare LF belongs to it.
    EXPECT_EQ(ExtractVersion("Server: Tolva 2100/1.0.8\nDate: 1\r\n"), "1.0.8\nDate: 1");
    EXPECT_EQ(ExtractVersion("HTTP/1.0 200 OK\r\nServer: Tolva 2100/1.0.8"), "1.0.8");
    // While more may come, a line without its CR is not read yet.
    EXPECT_EQ(ExtractVersion("HTTP/1.0 200 OK\r\nServer: Tolva 2100/1.0.8", false), std::nullopt);
    EXPECT_EQ(ExtractVersion("Server: Tolva 2100/1.0.8\r", false), "1.0.8");
    // A "/" only on a later line is not this line's version.
    EXPECT_EQ(ExtractVersion("Server: Tolva 2100\r\nContent-Type: text/html\r\n"), kNotKnown);
    EXPECT_EQ(ExtractVersion("Server: Tolva"), kNotKnown);
}

TEST(VersionExtraction, SearchesOnlyUpToTheFirstNulAndUsesTheFirstMatch) {
    EXPECT_EQ(ExtractVersion(std::string_view("abc\0Server: Tolva/1.0\r\n", 24)), std::nullopt);
    EXPECT_EQ(ExtractVersion("server: Tolva/1.0\r\n"), std::nullopt);
    EXPECT_EQ(ExtractVersion("<p>Server: X/9.9\r\n</p>Server: Tolva/1.0\r\n"), "9.9");
}

TEST(Detection, TableOrderDecidesNotPosition) {
    EXPECT_EQ(ClassifyChunk(Answer("Server: Tolva 2200/1.0.8")), SERVER_TOLVA_22XX);
    EXPECT_EQ(ClassifyChunk(Answer("Server: Tolva 2100/1.0.8")), SERVER_TOLVA_21XX);
    EXPECT_EQ(ClassifyChunk(Answer("Server: Tolva 23/1.0.8")), SERVER_TOLVA);
    EXPECT_EQ(ClassifyChunk(Answer("Server: Dravenholt II/6.2.0")), SERVER_DRAVENHOLT);
    EXPECT_EQ(ClassifyChunk(Answer("Server: Vintrosphere/6.2.0")), SERVER_DRAVENHOLT);
    EXPECT_EQ(ClassifyChunk("Server: Tolva 22\r\n<body>Server: Dravenholt II</body>"), SERVER_DRAVENHOLT);
    EXPECT_EQ(ClassifyChunk("Server: Tolva\r\nServer: Tolva 21"), SERVER_TOLVA_21XX);
}

TEST(Detection, IsCaseSensitiveAndStopsAtNul) {
    EXPECT_EQ(ClassifyChunk(Answer("server: Tolva 21/1.0.8")), SERVER_UNKNOWN);
    EXPECT_EQ(ClassifyChunk(Answer("Server: tolva 21/1.0.8")), SERVER_UNKNOWN);
    EXPECT_EQ(ClassifyChunk(std::string_view("HTTP/1.0 200\0Server: Tolva 21", 29)), SERVER_UNKNOWN);
}

TEST_F(DeviceHttp, DetectionSendsTheBareProbeAndClassifies) {
    TinyHttpServer server({{Answer("Server: Tolva 2200/1.0.8")}});
    Use(server);
    EventRecorder rec;
    const ServerDetection detection = DetectServer(Call());
    EXPECT_EQ(detection.type, SERVER_TOLVA_22XX);
    EXPECT_EQ(detection.reached, net::kLoopback);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], "GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(rec.Names().empty());
    EXPECT_EQ(rec.Trace(), "Resolving Varnek server 127.0.0.1.\nTrying to determing the server type.\n");
}

TEST_F(DeviceHttp, AHeaderSplitAcrossReceivesIsFound) {
    {
        TinyHttpServer server({{"HTTP/1.0 200 OK\r\nServer: Tol", "va 21/1.0.8\r\n\r\n"}});
        Use(server);
        EventRecorder rec;
        EXPECT_EQ(DetectServer(Call()).type, SERVER_TOLVA_21XX);
        EXPECT_TRUE(rec.Names().empty());
    }
    {
        // "Server: Tolva" alone is a generic Tolva only once what follows it is known.
        TinyHttpServer server({{"HTTP/1.0 200 OK\r\nServer: Tolva", " 2200/1.0.8\r\n\r\n"}});
        Use(server);
        EXPECT_EQ(DetectServer(Call()).type, SERVER_TOLVA_22XX);
    }
    {
        TinyHttpServer server({{"HTTP/1.0 200 OK\r\nServer: Dravenholt II/6.", "2.1b\r\n\r\n"}});
        Use(server);
        EXPECT_EQ(AskServerVersion(Call()).version, "6.2.1");
    }
    {
        // A chunk's text ends at its NUL: no header is matched across it.
        TinyHttpServer server(
            {{"HTTP/1.0 200 OK\r\nServer: Tol", std::string("\0x", 2), "va 21/1.0.8\r\n\r\n"}});
        Use(server);
        EXPECT_EQ(DetectServer(Call()).type, SERVER_UNKNOWN);
    }
}

TEST_F(DeviceHttp, LaterChunkIsSearchedOnItsOwn) {
    TinyHttpServer server({{"HTTP/1.0 200 OK\r\n", "Server: Dravenholt II/6.2.0\r\n\r\n"}});
    Use(server);
    EventRecorder rec;
    EXPECT_EQ(DetectServer(Call()).type, SERVER_DRAVENHOLT);
}

TEST_F(DeviceHttp, LowerCaseHeaderThenCloseGivesUnknownWithoutEvent) {
    TinyHttpServer server({{Answer("server: Tolva 21/1.0.8")}});
    Use(server);
    EventRecorder rec;
    EXPECT_EQ(DetectServer(Call()).type, SERVER_UNKNOWN);
    EXPECT_TRUE(rec.Names().empty());
}

TEST_F(DeviceHttp, SilentDeviceFailsTheProbeAfterFiveSeconds) {
    TinyHttpServer server({{}, std::chrono::milliseconds(0), ScriptedReply::End::Silent});
    Use(server);
    EventRecorder rec;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DetectServer(Call()).type, SERVER_UNKNOWN);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_RECEIVE"});
    EXPECT_NE(rec.Trace().find("Error in recv() call [errno="), std::string::npos);
}

TEST_F(DeviceHttp, RefusedConnectionRaisesOneEventAndTwoTraceLines) {
    m_call.port = skelvo::test::UnusedTcpPort();
    EventRecorder rec;
    const ServerDetection detection = DetectServer(Call());
    EXPECT_EQ(detection.type, SERVER_UNKNOWN);
    EXPECT_EQ(detection.reached, std::nullopt);
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_CONNECT"});
    EXPECT_EQ(rec.Trace(),
              "Resolving Varnek server 127.0.0.1.\n" + Errno("Error in connect() call", kRefused));
}

TEST_F(DeviceHttp, UnresolvableNameRaisesResolveError) {
    EventRecorder rec;
    EXPECT_EQ(DetectServer(Call("no-such-device.invalid")).type, SERVER_UNKNOWN);
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_RESOLVE"});
    EXPECT_EQ(rec.Trace(), "Resolving Varnek server no-such-device.invalid.\n"
                           "ERROR: invalid network name no-such-device.invalid.\n");
}

TEST_F(DeviceHttp, AllOnesAddressIsLookedUpAsAName) {
    EventRecorder rec;
    DeviceConnection c = ConnectToServer("255.255.255.255", 0);
    EXPECT_FALSE(c);
    // Resolved as a name it becomes the broadcast address, which a TCP connect refuses; as a
    // name that does not resolve it fails the lookup. Either way it is never taken as numeric.
    ASSERT_EQ(rec.Names().size(), 1u);
    EXPECT_TRUE(rec.Names()[0] == "ERR_RESOLVE" || rec.Names()[0] == "ERR_CONNECT") << rec.Names()[0];
}

TEST_F(DeviceHttp, VersionQueryReadsTheServerHeader) {
    TinyHttpServer server({{"HTTP/1.0 200 OK\r\n", Answer("Server: Dravenholt II/6.2.1b")}});
    Use(server);
    EventRecorder rec;
    EXPECT_EQ(AskServerVersion(Call()).version, "6.2.1");
    EXPECT_EQ(server.Requests()[0], "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(rec.Trace(),
              "Resolving Varnek server 127.0.0.1.\nTrying to determing the server version info.\n");
}

TEST_F(DeviceHttp, VersionQueryWithoutHeaderOrConnection) {
    {
        TinyHttpServer server({{"HTTP/1.0 200 OK\r\n\r\nno header here"}});
        Use(server);
        EventRecorder rec;
        EXPECT_EQ(AskServerVersion(Call()).version, kNotKnown);
        EXPECT_TRUE(rec.Names().empty());
    }
    m_call.port = skelvo::test::UnusedTcpPort();
    EventRecorder rec;
    EXPECT_EQ(AskServerVersion(Call()).version, std::nullopt);
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_CONNECT"});
}

TEST_F(DeviceHttp, SilentDeviceEndsTheVersionQueryAtItsBound) {
    m_call.bounds.version = m_call.bounds.command = std::chrono::milliseconds(300);
    TinyHttpServer server({{}, std::chrono::milliseconds(0), ScriptedReply::End::Silent});
    Use(server);
    EventRecorder rec;
    EXPECT_EQ(AskServerVersion(Call()).version, kNotKnown);
    EXPECT_TRUE(rec.Names().empty());
    EXPECT_NE(rec.Trace().find(Errno("Error in recv() call", kTimedOut)), std::string::npos);
}

TEST_F(DeviceHttp, VersionFromThePeerIsMadeSafeForTheTerminal) {
    TinyHttpServer server({{"HTTP/1.0 200 OK\r\nServer: Tolva/1.\x1b[2J0\r\n"}});
    Use(server);
    EventRecorder rec;
    EXPECT_EQ(AskServerVersion(Call()).version, "1.\\x1b[2J0");
}

TEST_F(DeviceHttp, CommandCarriesTheLocalAddressAndCredentials) {
    TinyHttpServer server({{"HTTP/1.0 200 OK\r\n\r\nUpgrade started"}});
    Use(server);
    EventRecorder rec;
    EXPECT_EQ(SendUpgradeCommand(Call(), "root", "marlin", kCommandFormat).result, 1);
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string local = server.Peers()[0].ip.ToString();
    EXPECT_EQ(server.Requests()[0], "GET /config?if=image&ih=" + local +
                                        " HTTP/1.0\r\nAuthorization: Basic cm9vdDptYXJsaW4=\r\n\r\n");
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"STATUS_COMMAND_ACCEPTED"});
    EXPECT_EQ(rec.Trace(), "Resolving Varnek server 127.0.0.1.\nSending TFTP request.\n");
}

TEST_F(DeviceHttp, DownloadTraceAddsIdAfterTheAddress) {
    TinyHttpServer server({{"HTTP/1.0 404 Not Found\r\n\r\n"}});
    Use(server);
    EventRecorder rec;
    SetHostName(Host());
    SetLoginName("");
    SetPassword("");
    SetDownloadTrace(1);
    EXPECT_EQ(SendFlashUpgradeCommand(Call()).result, 1);
    const std::string local = server.Peers()[0].ip.ToString();
    EXPECT_EQ(server.Requests()[0],
              "GET /config?if=image&ih=" + local + "&id=1 HTTP/1.0\r\nAuthorization: Basic Og==\r\n\r\n");
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"STATUS_COMMAND_ACCEPTED"});
}

TEST_F(DeviceHttp, UnauthorizedInAnyCaseAndPlaceRejectsTheLogin) {
    for (const char* reply :
         {"HTTP/1.0 401 Unauthorized\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n<b>UNAUTHORIZED</b>"}) {
        TinyHttpServer server({{reply}, std::chrono::milliseconds(0), ScriptedReply::End::Silent});
        Use(server);
        EventRecorder rec;
        EXPECT_EQ(SendUpgradeCommand(Call(), "root", "wrong", kCommandFormat).result, 0);
        EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_LOGIN"});
        EXPECT_NE(rec.Trace().find("ERROR: server user name or password invalid\n"), std::string::npos);
    }
}

TEST_F(DeviceHttp, AWordSplitAcrossReceivesIsFound) {
    {
        TinyHttpServer server({{"HTTP/1.0 401 Unauth", "orized\r\n\r\n"}});
        Use(server);
        EventRecorder rec;
        EXPECT_EQ(SendUpgradeCommand(Call(), "root", "x", kCommandFormat).result, 0);
        EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_LOGIN"});
    }
    {
        // Nor across a NUL, which ends a chunk's text.
        TinyHttpServer server({{"HTTP/1.0 200 OK\r\nu", std::string("\0", 1), "nauthorized\r\n\r\n"}});
        Use(server);
        EXPECT_EQ(SendUpgradeCommand(Call(), "root", "x", kCommandFormat).result, 1);
    }
}

TEST_F(DeviceHttp, ResetAfterCommandIsAReceiveErrorThenAccepted) {
#if defined(_WIN32)
    // Under Wine, where the Windows tests run here, a zero linger time closes without a reset.
    GTEST_SKIP() << "needs close() with SO_LINGER 0 to send a reset";
#endif
    TinyHttpServer server({{}, std::chrono::milliseconds(0), ScriptedReply::End::Reset});
    Use(server);
    EventRecorder rec;
    CommandReply reply = SendUpgradeCommand(Call(), "root", "marlin", kCommandFormat);
    EXPECT_EQ(reply.result, 1);
    EXPECT_EQ(reply.status, std::nullopt) << "no reply came";
    EXPECT_EQ(reply.reached, net::kLoopback) << "the TFTP server expects the device from there";
    EXPECT_EQ(rec.Names(), (std::vector<std::string>{"ERR_RECEIVE", "STATUS_COMMAND_ACCEPTED"}));
    EXPECT_NE(rec.Trace().find(Errno("Error in recv() call", kReset)), std::string::npos);
}

TEST_F(DeviceHttp, SilentDeviceEndsTheCommandAtItsBound) {
    m_call.bounds.version = m_call.bounds.command = std::chrono::milliseconds(300);
    TinyHttpServer server(
        {{"HTTP/1.0 200 OK\r\n"}, std::chrono::milliseconds(0), ScriptedReply::End::Silent});
    Use(server);
    EventRecorder rec;
    EXPECT_EQ(SendUpgradeCommand(Call(), "root", "marlin", kCommandFormat).result, 1);
    EXPECT_EQ(rec.Names(), (std::vector<std::string>{"ERR_RECEIVE", "STATUS_COMMAND_ACCEPTED"}));
}

TEST_F(DeviceHttp, NoConnectionSendsNoCommand) {
    m_call.port = skelvo::test::UnusedTcpPort();
    EventRecorder rec;
    EXPECT_EQ(SendUpgradeCommand(Call(), "root", "marlin", kCommandFormat).result, 0);
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_CONNECT"});
}

TEST(StatusLine, CodeAndReasonOfTheFirstLineOnly) {
    EXPECT_EQ(ParseStatusLine("HTTP/1.0 503 Service Unavailable\r\nServer: x\r\n"),
              (HttpStatusLine{503, "Service Unavailable"}));
    EXPECT_EQ(ParseStatusLine("HTTP/1.1 200 OK"), (HttpStatusLine{200, "OK"}));
    EXPECT_EQ(ParseStatusLine("HTTP/1.0 404\n"), (HttpStatusLine{404, ""}));
    EXPECT_EQ(ParseStatusLine("HTTP/1.0 500 Bad \x1b[2J\r\n")->reason, "Bad \\x1b[2J")
        << "the reason reaches a terminal";
    EXPECT_EQ(ParseStatusLine("HTTP/1.0 503 Service Unavailable")->Text(), "503 Service Unavailable");
    for (const char* bad : {"", "HTTP/1.0", "HTTP/ 200 OK", "HTTP/1.0 20 OK", "HTTP/1.0 2000 OK",
                            "HTTP/1.0 +20 OK", "HTTP/1.0 099 Low", "HTTP/1.0 600 High", "http/1.0 200 OK",
                            "<html>HTTP/1.0 200 OK", "HTTP/1.0\r\n 200 OK"})
        EXPECT_EQ(ParseStatusLine(bad), std::nullopt) << bad;
}

// The status line is gathered across receives; the exchange, its events and its trace are those
// of SendServerCommand whatever the status.
TEST_F(DeviceHttp, CommandReplyKeepsTheStatusLineOfTheReply) {
    {
        TinyHttpServer server({{"HTTP/1.0 50", "3 Service Unavailable\r\n\r\n<html>busy</html>"}});
        Use(server);
        EventRecorder rec;
        CommandReply reply = SendUpgradeCommand(Call(), "root", "marlin", kCommandFormat);
        EXPECT_EQ(reply.result, 1);
        EXPECT_EQ(reply.status, (HttpStatusLine{503, "Service Unavailable"}));
        EXPECT_EQ(rec.Names(), std::vector<std::string>{"STATUS_COMMAND_ACCEPTED"});
        EXPECT_EQ(rec.Trace(), "Resolving Varnek server 127.0.0.1.\nSending TFTP request.\n");
    }
    {
        TinyHttpServer server({{"HTTP/1.0 401 Unauthorized\r\n\r\n"}});
        Use(server);
        EventRecorder rec;
        CommandReply reply = SendUpgradeCommand(Call(), "root", "wrong", kCommandFormat);
        EXPECT_EQ(reply.result, 0);
        EXPECT_EQ(reply.status, (HttpStatusLine{401, "Unauthorized"}));
        EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_LOGIN"});
    }
    {
        TinyHttpServer server({{"no status line\r\n\r\n"}});
        Use(server);
        EventRecorder rec;
        CommandReply reply = SendUpgradeCommand(Call(), "root", "marlin", kCommandFormat);
        EXPECT_EQ(reply.result, 1);
        EXPECT_EQ(reply.status, std::nullopt);
    }
}
