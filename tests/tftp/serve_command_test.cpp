// `skelvo-cli serve` as an administrator runs it, fetched from by real TFTP clients, and its
// command line, exit status and output streams.
#include "engine/images/builtin_images.h"
#include "tests/support/event_recorder.h"
#include "tests/tftp/serve_process.h"
#include "tests/tftp/tftp_harness.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace skelvo::test;

namespace {

struct Client {
    const char* name;
    const char* program;
    // The command line that fetches "image" from 127.0.0.1 at {port} into {out}.
    std::string (*command)(std::uint16_t port, const std::string& out);
};

const Client kClients[] = {
    {"curl", "curl",
     [](std::uint16_t port, const std::string& out) {
         return "curl -s -S --max-time 100 -o '" + out + "' tftp://127.0.0.1:" + std::to_string(port) +
                "/image";
     }},
    {"tftp_hpa", "tftp",
     [](std::uint16_t port, const std::string& out) {
         return "tftp -m binary 127.0.0.1 " + std::to_string(port) + " -c get image '" + out + "'";
     }},
    {"atftp", "atftp",
     [](std::uint16_t port, const std::string& out) {
         return "atftp -g -r image -l '" + out + "' 127.0.0.1 " + std::to_string(port);
     }},
    // Clients that negotiate (RFC 2347): larger blocks, and a window of blocks (RFC 7440).
    {"curl_blksize1468", "curl",
     [](std::uint16_t port, const std::string& out) {
         return "curl -s -S --max-time 100 --tftp-blksize 1468 -o '" + out +
                "' tftp://127.0.0.1:" + std::to_string(port) + "/image";
     }},
    {"atftp_window8", "atftp",
     [](std::uint16_t port, const std::string& out) {
         return "atftp --option 'blksize 1428' --option 'windowsize 8' --option 'tsize enable' -g -r image "
                "-l '" +
                out + "' 127.0.0.1 " + std::to_string(port);
     }},
    {"busybox_b1468", "busybox",
     [](std::uint16_t port, const std::string& out) {
         return "busybox tftp -b 1468 -g -r image -l '" + out + "' 127.0.0.1 " + std::to_string(port);
     }},
};

struct Served {
    const char* name;
    long size; // -1: the built-in Tolva 22xx image
};

const Served kImages[] = {
    {"builtin", -1}, {"empty", 0},    {"b511", 511},    {"b512", 512},
    {"b513", 513},   {"b1024", 1024}, {"mb5", 5 << 20},
};

using Param = std::tuple<int, int>; // client, image

class RealClientTest : public ::testing::TestWithParam<Param> {};

TEST_P(RealClientTest, FetchesTheImageTwiceFromServe) {
    const Client& client = kClients[std::get<0>(GetParam())];
    const Served& served = kImages[std::get<1>(GetParam())];
    if (!HaveProgram(client.program))
        GTEST_SKIP() << client.program << " is not installed";
    TempDir dir;
    std::vector<std::string> args;
    Bytes expected;
    if (served.size < 0) {
        const BuiltInImage& m = Tolva22Module();
        expected.assign(m.Bytes, m.Bytes + m.Size);
        args = {"serve", "--builtin", "tolva22", "--port", "0"};
    } else {
        expected = PatternBytes(static_cast<std::size_t>(served.size), 99);
        args = {"serve", "--image", dir.Write("firmware.bin", expected), "--port", "0"};
    }
    ServeProcess serve(args, dir.File("stdout.txt"));
    std::uint16_t port = serve.WaitForPort();
    ASSERT_NE(port, 0) << serve.Stderr();
    for (const char* pass : {"first", "second"}) {
        SCOPED_TRACE(pass);
        std::string out = dir.File(std::string(pass) + ".out");
        RunCommand(client.command(port, out));
        // A client may leave no file at all for an empty download.
        if (expected.empty() && !std::filesystem::exists(out))
            continue;
        Bytes got = ReadFileBytes(out);
        ASSERT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
    }
    EXPECT_EQ(serve.Wait(), 0) << serve.Stderr();
    EXPECT_NE(serve.Stderr().find("both downloads served"), std::string::npos) << serve.Stderr();
    // Without --trace, standard output stays empty.
    EXPECT_TRUE(ReadFileBytes(dir.File("stdout.txt")).empty());
}

INSTANTIATE_TEST_SUITE_P(Clients, RealClientTest,
                         ::testing::Combine(::testing::Range(0, 6), ::testing::Range(0, 7)),
                         [](const ::testing::TestParamInfo<Param>& p) {
                             return std::string(kClients[std::get<0>(p.param)].name) + "_" +
                                    kImages[std::get<1>(p.param)].name;
                         });

TEST(ServeCommand, TracePrintsTheTraceLinesOnStandardOutput) {
    TempDir dir;
    std::string image = dir.Write("f.bin", PatternBytes(700));
    ServeProcess serve({"serve", "--image", image, "--port", "0", "--trace"}, dir.File("stdout.txt"));
    std::uint16_t port = serve.WaitForPort();
    ASSERT_NE(port, 0);
    RawClient device;
    net::Endpoint server{net::kLoopback, port};
    EXPECT_TRUE(Fetch(device, server).complete);
    EXPECT_TRUE(Fetch(device, server).complete);
    ASSERT_EQ(serve.Wait(), 0);
    Bytes out = ReadFileBytes(dir.File("stdout.txt"));
    std::string text(out.begin(), out.end());
    EXPECT_EQ(text.find("Filename is \"" + image + "\"\nThe file size is 700 bytes\n"), 0u) << text;
    EXPECT_NE(text.find("Server is programming the new firmware image.\n"), std::string::npos);
    EXPECT_NE(text.find("\nftp server thread finished...\n"), std::string::npos);
}

TEST(ServeCommand, NoOptionsServesAnAskingClientInPlainBlocks) {
    if (!HaveProgram("curl"))
        GTEST_SKIP() << "curl is not installed";
    TempDir dir;
    const Bytes expected = PatternBytes(100000, 5);
    ServeProcess serve(
        {"serve", "--image", dir.Write("f.bin", expected), "--port", "0", "--trace", "--tftp-no-options"},
        dir.File("stdout.txt"));
    std::uint16_t port = serve.WaitForPort();
    ASSERT_NE(port, 0);
    for (const char* pass : {"a.out", "b.out"}) {
        RunCommand("curl -s --tftp-blksize 1468 -o '" + dir.File(pass) +
                   "' tftp://127.0.0.1:" + std::to_string(port) + "/image");
        EXPECT_TRUE(ReadFileBytes(dir.File(pass)) == expected) << pass;
    }
    EXPECT_EQ(serve.Wait(), 0) << serve.Stderr();
    const Bytes out = ReadFileBytes(dir.File("stdout.txt"));
    const std::string text(out.begin(), out.end());
    EXPECT_EQ(text.find("OACK"), std::string::npos) << text;
}

TEST(ServeCommand, FailedTransferExitsOneWithTheErrorText) {
    TempDir dir;
    ServeProcess serve({"serve", "--builtin", "dravenholt", "--port", "0"}, dir.File("stdout.txt"));
    std::uint16_t port = serve.WaitForPort();
    ASSERT_NE(port, 0);
    RawClient device;
    device.Send(Rrq("Image"), net::Endpoint{net::kLoopback, port});
    EXPECT_EQ(serve.Wait(), 1);
    EXPECT_NE(serve.Stderr().find("ERROR: The TFTP Read Request has failed."), std::string::npos)
        << serve.Stderr();
}

TEST(ServeCommand, ExpectedClientIgnoresOtherHosts) {
    TempDir dir;
    ServeProcess serve({"serve", "--builtin", "tolva21", "--port", "0", "--client", "127.0.0.1"},
                       dir.File("stdout.txt"));
    std::uint16_t port = serve.WaitForPort();
    ASSERT_NE(port, 0);
    net::Endpoint server{net::kLoopback, port};
    RawClient intruder(net::Ipv4{0x7F000002u});
    intruder.Send(Bytes{}, server); // would end a worker that listened to everyone
    intruder.Send(Rrq(), server);
    EXPECT_FALSE(intruder.Receive(300ms));
    RawClient device;
    EXPECT_TRUE(Fetch(device, server).complete);
    EXPECT_TRUE(Fetch(device, server).complete);
    EXPECT_EQ(serve.Wait(), 0) << serve.Stderr();
}

TEST(ServeCommand, PortInUseExitsOneAndSaysSo) {
    net::Socket holder = net::Socket::Udp();
    ASSERT_TRUE(holder.Bind(net::Endpoint{net::kAnyAddress, 0}));
    std::string port = std::to_string(holder.LocalEndpoint()->port);
    TempDir dir;
    ServeProcess serve({"serve", "--builtin", "tolva21", "--port", port}, dir.File("stdout.txt"));
    EXPECT_EQ(serve.Wait(), 1);
    EXPECT_NE(serve.Stderr().find("ERROR: An error has occured when trying to bind to the TFTP Socket."),
              std::string::npos)
        << serve.Stderr();
    EXPECT_NE(serve.Stderr().find("another program holds UDP port " + port), std::string::npos);
}

TEST(ServeCommand, BadCommandLinesExitTwoAndHelpExitsZero) {
    TempDir dir;
    const std::vector<std::vector<std::string>> bad = {
        {"serve"},
        {"serve", "--builtin", "tolva23"},
        {"serve", "--builtin", "tolva21", "--image", "x"},
        {"serve", "--builtin", "tolva21", "--port", "70000"},
        {"serve", "--builtin", "tolva21", "--port", "69x"},
        {"serve", "--builtin", "tolva21", "--port", "-1"},
        {"serve", "--builtin", "tolva21", "--port"},
        {"serve", "--builtin", "tolva21", "--client", "device.local"},
        {"serve", "--builtin", "tolva21", "--verbose"},
    };
    for (const auto& args : bad) {
        ServeProcess serve(args, dir.File("stdout.txt"));
        EXPECT_EQ(serve.Wait(), 2) << args.back();
        EXPECT_NE(serve.Stderr().find("skelvo-cli serve: "), std::string::npos);
    }
    ServeProcess help({"serve", "--help"}, dir.File("help.txt"));
    EXPECT_EQ(help.Wait(), 0);
    Bytes text = ReadFileBytes(dir.File("help.txt"));
    std::string h(text.begin(), text.end());
    for (const char* needle : {"--image", "--builtin", "--port", "--trace", "--client", "--tftp-no-options",
                               "exit status", "setcap"})
        EXPECT_NE(h.find(needle), std::string::npos) << needle;

    ServeProcess missing({"serve", "--image", dir.File("no-such-file"), "--port", "0"},
                         dir.File("stdout.txt"));
    EXPECT_EQ(missing.Wait(), 1);
    EXPECT_NE(missing.Stderr().find("cannot read the image file"), std::string::npos);
}

} // namespace
