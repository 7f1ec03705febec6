// The worker's two passes, its error packet and the read transfer, driven packet by packet by a
// raw-UDP client on loopback.
#include "engine/images/builtin_images.h"
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"
#include "tests/support/files.h"
#include "tests/tftp/tftp_harness.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <future>
#include <sstream>

using namespace skelvo::test;

namespace {

using Names = std::vector<std::string>;

class TftpServerTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetServerState(); }
    void TearDown() override { ResetServerState(); }

    // Loads a pattern file of `size` bytes as the user image, before any recorder captures.
    Bytes UseFile(std::size_t size) {
        Bytes bytes = PatternBytes(size, static_cast<unsigned>(size));
        std::string path = m_dir.Write("image.bin", bytes);
        EXPECT_EQ(LoadImageFile(path.c_str()), 1);
        SetImageToUse(SERVER_USER_FILE);
        return bytes;
    }

    // True if nothing arrives within a short wait.
    static bool Silent(RawClient& client) { return !client.Receive(300ms).has_value(); }

    TempDir m_dir;
};

using skelvo::test::ReadText;

bool PortIsFree(std::uint16_t port) {
    net::Socket s = net::Socket::Udp();
    return s.Bind(net::Endpoint{net::kAnyAddress, port});
}

TEST_F(TftpServerTest, TwoPassRunMatchesTheGoldenTranscript) {
    Bytes image = UseFile(1024);
    EventRecorder recorder;
    ServerRun server;
    ASSERT_TRUE(server.bound());
    RawClient device;
    FetchResult first = Fetch(device, server.endpoint());
    FetchResult second = Fetch(device, server.endpoint());
    ASSERT_EQ(server.Finish(), 1);

    EXPECT_TRUE(first.complete);
    EXPECT_EQ(first.data, image);
    EXPECT_EQ(second.data, image);
    EXPECT_EQ(first.packets, 3); // 512, 512 and the empty block that ends the transfer
    EXPECT_EQ(first.lastPacketSize, 4u);
    EXPECT_EQ(recorder.Names(),
              (Names{"STATUS_VERIFYING", "STATUS_ERASING", "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    std::vector<RecordedEvent> progress = recorder.Progress();
    ASSERT_EQ(progress.size(), 6u);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(progress[pass * 3 + 0].sent, 512);
        EXPECT_EQ(progress[pass * 3 + 1].sent, 1024);
        EXPECT_EQ(progress[pass * 3 + 2].sent, 1536);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(progress[pass * 3 + i].total, 1024);
    }
    EXPECT_EQ(recorder.Trace(), ReadText(SourcePath("tests/tftp/golden/two_pass_1024.txt")));
}

TEST_F(TftpServerTest, EmptyImageIsOneEmptyBlockWithItsProgressPair) {
    Bytes image = UseFile(0);
    ASSERT_NE(g_TftpConfigData.FileImage.Data, nullptr);
    EventRecorder recorder;
    ServerRun server({}, 2);
    RawClient device;
    FetchResult got = Fetch(device, server.endpoint());
    ASSERT_EQ(server.Finish(), 1);
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(got.packets, 1);
    EXPECT_EQ(got.lastPacketSize, 4u);
    ASSERT_EQ(recorder.Progress().size(), 1u);
    EXPECT_EQ(recorder.Progress()[0].sent, 512);
    EXPECT_EQ(recorder.Progress()[0].total, 0);
}

TEST_F(TftpServerTest, BuiltInImagesGoOutInTheirBlockCounts) {
    struct Case {
        int type;
        const BuiltInImage& module;
        int blocks;
        std::size_t lastPacket;
    };
    const Case cases[] = {
        {SERVER_TOLVA_21XX, Tolva21Module(), 1456, 397},
        {SERVER_TOLVA, Tolva21Module(), 1456, 397},
        {SERVER_TOLVA_22XX, Tolva22Module(), 1476, 315},
        {SERVER_DRAVENHOLT, DravenholtModule(), 1199, 420},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        SetImageToUse(c.type);
        EventRecorder recorder;
        ServerRun server({}, 2);
        RawClient device;
        FetchResult got = Fetch(device, server.endpoint());
        ASSERT_EQ(server.Finish(), 1);
        EXPECT_EQ(got.packets, c.blocks);
        EXPECT_EQ(got.lastPacketSize, c.lastPacket);
        ASSERT_EQ(got.data.size(), static_cast<std::size_t>(c.module.Size));
        EXPECT_TRUE(std::equal(got.data.begin(), got.data.end(), c.module.Bytes));
        std::vector<RecordedEvent> progress = recorder.Progress();
        ASSERT_EQ(progress.size(), static_cast<std::size_t>(c.blocks));
        EXPECT_EQ(progress.front().sent, 512);
        EXPECT_EQ(progress.back().sent, c.blocks * 512);
        EXPECT_EQ(progress.back().total, c.module.Size);
    }
}

TEST_F(TftpServerTest, WriteRequestIsRefusedAndUsesUpThePass) {
    Bytes image = UseFile(700);
    EventRecorder recorder;
    ServerRun server;
    RawClient writer;
    Bytes wrq = Rrq("image");
    wrq[1] = 2;
    writer.Send(wrq, server.endpoint());
    auto refusal = writer.Receive();
    ASSERT_TRUE(refusal);
    const char expected[] = "\0\5\0\2Access violation"; // and its NUL: 21 bytes
    EXPECT_EQ(refusal->bytes, Bytes(expected, expected + sizeof expected));
    EXPECT_EQ(refusal->bytes.size(), 21u);

    RawClient device;
    FetchResult got = Fetch(device, server.endpoint());
    ASSERT_EQ(server.Finish(), 1);
    EXPECT_EQ(got.data, image);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    // The refusal line ends without a line break, so the next line continues it.
    EXPECT_NE(
        recorder.Trace().find("Write was recieved ... and failed.Waiting for TFTP client request ...\n"),
        std::string::npos);
}

TEST_F(TftpServerTest, DatagramsThatAreNotRequestsUseUpNoPass) {
    Bytes image = UseFile(10);
    EventRecorder recorder;
    ServerRun server;
    RawClient device;
    device.Send(Ack(1), server.endpoint());
    device.Send(Bytes{0, 9, 1}, server.endpoint());
    device.Send(Bytes{0, 3, 0, 1, 'x'}, server.endpoint());
    device.Send(ErrorPacket(0, "late"), server.endpoint());
    EXPECT_TRUE(Silent(device));
    EXPECT_TRUE(recorder.WaitForTrace("Ignoring a datagram of opcode 5 from 127.0.0.1: not a request\n"));
    EXPECT_TRUE(recorder.Names().empty());
    // Both passes are still there for the device's two requests.
    EXPECT_EQ(Fetch(device, server.endpoint()).data, image);
    device.Send(Ack(1), server.endpoint()); // a late repeat of the last ACK, between the passes
    EXPECT_EQ(Fetch(device, server.endpoint()).data, image);
    ASSERT_EQ(server.Finish(), 1);
    EXPECT_EQ(recorder.Names(),
              (Names{"STATUS_VERIFYING", "STATUS_ERASING", "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    EXPECT_NE(recorder.Trace().find("Ignoring a datagram of opcode 4 from 127.0.0.1: not a request\n"
                                    "Ignoring a datagram of opcode 9 from 127.0.0.1: not a request\n"
                                    "Ignoring a datagram of opcode 3 from 127.0.0.1: not a request\n"),
              std::string::npos);
}

TEST_F(TftpServerTest, EmptyDatagramEndsTheWorkerAndFreesThePort) {
    UseFile(10);
    EventRecorder recorder;
    ServerRun server;
    RawClient stray;
    stray.Send(Bytes{}, server.endpoint());
    ASSERT_EQ(server.Finish(), 0);
    EXPECT_EQ(recorder.Names(), (Names{"ERR_SOCKET_CLOSED"}));
    EXPECT_EQ(recorder.Trace(), "\ntftp server thread started...\nWaiting for TFTP client request ...\n"
                                "socket was closed\n\nftp server thread finished...\n");
    EXPECT_TRUE(PortIsFree(server.port()));
}

struct Refusal {
    const char* what;
    Bytes request;
    int imageToUse;
    const char* line;
};

class RequestRefusalTest : public TftpServerTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RequestRefusalTest, IsTracedAndFailsWithNoPacketSent) {
    const Refusal& r = GetParam();
    UseFile(100);
    if (r.imageToUse == SERVER_USER_FILE + 100) {
        ResetServerState(); // a user file that was never loaded
        SetImageToUse(SERVER_USER_FILE);
    } else if (r.imageToUse >= 0) {
        SetImageToUse(r.imageToUse);
    }
    EventRecorder recorder;
    ServerRun server;
    RawClient device;
    device.Send(r.request, server.endpoint());
    ASSERT_EQ(server.Finish(), 0);
    EXPECT_TRUE(Silent(device)); // neither DATA nor ERROR
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "ERR_READ_REQUEST"}));
    EXPECT_NE(recorder.Trace().find(std::string("Server is verifying the image integrity.\n") + r.line +
                                    "Error: ProcessTftpReadRequest() call failed...bailing out. \n"),
              std::string::npos)
        << recorder.Trace();
    EXPECT_TRUE(PortIsFree(server.port()));
}

Bytes Raw(std::initializer_list<int> head, std::string_view tail = {}) {
    Bytes b;
    for (int x : head)
        b.push_back(static_cast<std::uint8_t>(x));
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestRefusalTest,
    ::testing::Values(
        Refusal{"CapitalName", Rrq("Image"), -1, "CheckFilename:313 - Bad image name requested.\n"},
        Refusal{"OtherName", Rrq("image.bin"), -1, "CheckFilename:313 - Bad image name requested.\n"},
        Refusal{"Netascii", Rrq("image", "netascii"), -1,
                "CheckFilename:336 - Bad transfer mode requested.\n"},
        Refusal{"CapitalMode", Rrq("image", "OCTET"), -1,
                "CheckFilename:336 - Bad transfer mode requested.\n"},
        Refusal{"NoNul", Raw({0, 1}, "image"), -1,
                "CheckFilename:308 - Could not find filename in request.\n"},
        Refusal{"NameNulLast", Raw({0, 1}, std::string_view("image\0", 6)), -1,
                "CheckFilename:332 - Could not find transfer mode in request.\n"},
        Refusal{"ModeWithoutNul", Raw({0, 1}, std::string_view("image\0octet", 11)), -1,
                "CheckFilename:332 - Could not find transfer mode in request.\n"},
        Refusal{"FileNotLoaded", Rrq(), SERVER_USER_FILE + 100,
                "CheckFilename:366 - FileImage.Data is NULL.\n"},
        Refusal{"Unknown", Rrq(), SERVER_UNKNOWN,
                "CheckFilename:374 - Error in g_TftpConfigData.ImageToUse.\n"},
        Refusal{"OutOfRange", Rrq(), 6, "CheckFilename:374 - Error in g_TftpConfigData.ImageToUse.\n"}),
    [](const ::testing::TestParamInfo<Refusal>& param) { return std::string(param.param.what); });

TEST_F(TftpServerTest, OptionsAreAnsweredWithAnOackUnlessNegotiationIsOff) {
    UseFile(2000);
    const Bytes request = WithOptions(Rrq(), {"tsize", "0", "blksize", "1468", "timeout", "5"});
    {
        EventRecorder recorder;
        ServerRun server({}, 2);
        RawClient device;
        device.Send(request, server.endpoint());
        auto oack = device.Receive();
        ASSERT_TRUE(oack);
        ASSERT_EQ(oack->opcode(), 6u);
        const std::string fields(oack->bytes.begin() + 2, oack->bytes.end());
        EXPECT_EQ(fields, std::string("tsize\0"
                                      "2000\0"
                                      "blksize\0"
                                      "1468\0"
                                      "timeout\0"
                                      "5\0",
                                      34));
        device.Send(Ack(0), oack->from);
        auto first = device.Receive();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->number(), 1u);
        EXPECT_EQ(first->dataSize(), 1468u);
        device.Send(Ack(1), first->from);
        auto second = device.Receive();
        ASSERT_TRUE(second);
        EXPECT_EQ(second->dataSize(), 532u);
        device.Send(Ack(2), second->from);
        EXPECT_EQ(server.Finish(), 1);
    }
    EventRecorder recorder;
    TftpServerOptions plain;
    plain.negotiateOptions = false;
    ServerRun server(plain, 2);
    RawClient device;
    device.Send(request, server.endpoint());
    auto first = device.Receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->opcode(), 3u); // DATA, not an option acknowledgement
    EXPECT_EQ(first->dataSize(), 512u);
    server.Stop();
}

TEST_F(TftpServerTest, ErrorFromTheClientEndsTheTransferAndIsTracedSafely) {
    UseFile(2000);
    EventRecorder recorder;
    ServerRun server;
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    auto data = device.Receive();
    ASSERT_TRUE(data);
    // No NUL at the end: the text ends with the datagram, and the escape never reaches a terminal.
    device.Send(ErrorPacket(3, "disk \x1b[2Jfull", false), data->from);
    ASSERT_EQ(server.Finish(), 0);
    EXPECT_TRUE(Silent(device));
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "ERR_READ_REQUEST"}));
    EXPECT_NE(recorder.Trace().find("client returned TFTP_ERROR (disk \\x1b[2Jfull) \n"
                                    "ProcessTftpReadRequest:637 - Correct ACK not recieved...bailing out.\n"),
              std::string::npos)
        << recorder.Trace();
}

TEST_F(TftpServerTest, AckForALaterBlockEndsTheTransfer) {
    UseFile(2000);
    EventRecorder recorder;
    ServerRun server;
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    auto data = device.Receive();
    ASSERT_TRUE(data);
    device.Send(Ack(2), data->from);
    ASSERT_EQ(server.Finish(), 0);
    EXPECT_TRUE(Silent(device));
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "ERR_READ_REQUEST"}));
    EXPECT_NE(recorder.Trace().find("client returned *wrong* ACK\n .. got ACK for (2), expected ACK for (1)\n"
                                    "ProcessTftpReadRequest:637 - Correct ACK not recieved...bailing out.\n"),
              std::string::npos)
        << recorder.Trace();
    EXPECT_EQ(recorder.Trace().find("We need to resend"), std::string::npos);
}

// The socket layer's number for a port in use: Winsock has its own, apart from the C library's.
#if defined(_WIN32)
constexpr int kAddressInUse = 10048; // WSAEADDRINUSE
#else
constexpr int kAddressInUse = EADDRINUSE;
#endif

TEST_F(TftpServerTest, PortInUseFailsTheProbeAndTheWorker) {
    net::Socket holder = net::Socket::Udp();
    ASSERT_TRUE(holder.Bind(net::Endpoint{net::kAnyAddress, 0}));
    std::uint16_t port = holder.LocalEndpoint()->port;
    TftpServerOptions options;
    options.port = port;
    EventRecorder recorder;

    EXPECT_EQ(CheckTftpPort(options), 0);
    EXPECT_EQ(recorder.Names(), (Names{"ERR_TFTP_BIND"}));
    EXPECT_EQ(recorder.Trace(), "Error in bind() call [errno=" + std::to_string(kAddressInUse) + "]\n");

    recorder.Clear();
    EXPECT_EQ(TftpServerThread(1, options), 0);
    EXPECT_EQ(recorder.Names(), (Names{"ERR_TFTP_BIND"}));
    EXPECT_EQ(recorder.Trace(), "\ntftp server thread started...\nError in bind() call [errno=" +
                                    std::to_string(kAddressInUse) + "]\n");

    holder.Close();
    recorder.Clear();
    EXPECT_EQ(CheckTftpPort(options), 1);
    EXPECT_TRUE(recorder.Events().empty());
    EXPECT_TRUE(PortIsFree(port)); // the probe leaves nothing open
}

TEST(SendTftpError, UnknownCodesCarryTheUndefinedMessage) {
    RawClient peer;
    net::Socket server = net::Socket::Udp();
    ASSERT_TRUE(server.Bind(net::Endpoint{net::kLoopback, 0}));
    SendTftpError(server, peer.local(), 1);
    auto p = peer.Receive();
    ASSERT_TRUE(p);
    const char notFound[] = "\0\5\0\1File not found";
    EXPECT_EQ(p->bytes, Bytes(notFound, notFound + sizeof notFound));
    SendTftpError(server, peer.local(), 42);
    p = peer.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->number(), 42u);
    EXPECT_EQ(std::string(p->bytes.begin() + 4, p->bytes.end()), std::string("Undefined error code", 21));
}

} // namespace

namespace {

TEST_F(TftpServerTest, RescueServesEveryRequestUntilQuietAfterACompleteDownload) {
    Bytes image = UseFile(1300);
    EventRecorder recorder;
    g_TftpCallbacks.CheckFilenameHandler = &CheckFilename;
    g_TftpCallbacks.ReadBlockHandler = &ReadImageBlock;
    TftpServerOptions options;
    options.port = 0;
    options.expectedClient = net::kLoopback;
    TftpSocket socket = OpenTftpSocket(options);
    ASSERT_TRUE(socket);
    const net::Endpoint server{net::kLoopback, socket.port()};
    std::future<int> served = std::async(
        std::launch::async, [&socket, options] { return ServeRescue(std::move(socket), options, 500ms); });
    RawClient device;
    // A boot loader whose first attempt breaks off, then two whole downloads.
    device.Send(Rrq(), server);
    auto first = device.Receive();
    ASSERT_TRUE(first);
    device.Send(ErrorPacket(0, "flash write failed"), first->from);
    for (int i = 0; i < 2; ++i) {
        RawClient again;
        EXPECT_EQ(Fetch(again, server).data, image);
    }
    ASSERT_EQ(served.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(served.get(), 2);
    EXPECT_TRUE(PortIsFree(server.port));
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "ERR_READ_REQUEST", "STATUS_PROGRAMMING",
                                       "STATUS_COMPLETE", "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
}

TEST_F(TftpServerTest, RescueEndsOnAStopBeforeAnyRequest) {
    UseFile(10);
    TftpServerOptions options;
    options.port = 0;
    auto stop = std::make_shared<TftpServerStop>();
    options.stop = stop;
    TftpSocket socket = OpenTftpSocket(options);
    ASSERT_TRUE(socket);
    std::future<int> served = std::async(
        std::launch::async, [&socket, options] { return ServeRescue(std::move(socket), options, 60s); });
    EXPECT_EQ(served.wait_for(200ms), std::future_status::timeout); // it waits for the device
    stop->Request();
    ASSERT_EQ(served.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(served.get(), 0);
}

} // namespace
