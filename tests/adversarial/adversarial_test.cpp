// Hostile and malformed traffic against `skelvo-cli serve`. Each case checks the defined answer
// and then that the server still does its job: it serves the remaining pass byte for byte, or,
// where the input ends the server by design, that it exits with failure and releases its port.
// Only a request takes one of the two passes: other datagrams on the server port are ignored.
#include "tests/adversarial/serve_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>

using namespace adversarial;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

constexpr std::size_t kSmallImage = 1300; // blocks of 512, 512 and 276 bytes

// Nothing comes back to the client for a while.
void ExpectSilence(RawClient& client, std::chrono::milliseconds bound = 300ms) {
    auto got = client.Receive(bound);
    EXPECT_FALSE(got.has_value()) << "unexpected datagram, opcode " << (got ? Opcode(*got) : 0);
}

// The pass that is left is served whole, and the server then ends with success.
void ExpectServesLastPass(ServeProcess& serve, const ImageFile& image) {
    RawClient device;
    auto got = device.Download(serve.endpoint(), std::string("\0\1image\0octet\0", 14));
    ASSERT_TRUE(got.has_value()) << serve.Trace();
    EXPECT_EQ(*got, image.bytes());
    EXPECT_EQ(serve.Wait(), 0) << serve.Errors();
    EXPECT_NE(serve.Trace().find("Server is programming the new firmware image.\n"), std::string::npos);
}

// Both passes are served whole.
void ExpectServesBothPasses(ServeProcess& serve, const ImageFile& image) {
    RawClient device;
    auto first = device.Download(serve.endpoint(), std::string("\0\1image\0octet\0", 14));
    ASSERT_TRUE(first.has_value()) << serve.Trace();
    EXPECT_EQ(*first, image.bytes());
    ExpectServesLastPass(serve, image);
}

// The request was refused as the first pass: no answer, exit status 1, the refusal traced, and
// the port free again.
void ExpectRefusedAndEnded(ServeProcess& serve, RawClient& client, const std::string& line) {
    ExpectSilence(client);
    EXPECT_EQ(serve.Wait(), 1);
    EXPECT_NE(serve.Trace().find(line), std::string::npos) << serve.Trace();
    EXPECT_NE(serve.Trace().find("ProcessTftpReadRequest() call failed"), std::string::npos);
    EXPECT_TRUE(PortReleased(serve.port()));
}

// No byte of the trace below 0x20 other than a line break, and no DEL: peers' text is escaped.
void ExpectPrintableTrace(const std::string& trace) {
    for (char c : trace) {
        auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE((byte >= 0x20 && byte != 0x7F) || byte == '\n') << "raw byte " << int(byte);
    }
}

std::string Str(std::string_view text) {
    return std::string(text);
}

// RFC 2347 option pairs, each text NUL-terminated.
std::string Options(std::initializer_list<std::string_view> texts) {
    std::string out;
    for (std::string_view t : texts) {
        out += t;
        out += '\0';
    }
    return out;
}

} // namespace

TEST(AdversarialTiny, ShortDatagramsUseNoPassAndAreNotAnswered) {
    ImageFile image(kSmallImage);
    // 1 to 3 bytes, an ACK opcode alone and a 3-byte ERROR: none is a request.
    for (const std::string& payload : {Str({"\0", 1}), Str({"\x7f", 1}), Str({"\0\0", 2}), Str({"\0\0\0", 3}),
                                       Str({"\0\4", 2}), Str({"\0\5\0", 3})}) {
        SCOPED_TRACE(payload.size());
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0) << serve.Errors();
        RawClient stray;
        stray.Send(B(payload), serve.endpoint());
        ExpectSilence(stray);
        ExpectServesBothPasses(serve, image);
    }
}

TEST(AdversarialTiny, EmptyDatagramEndsTheServer) {
    ImageFile image(kSmallImage);
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    RawClient stray;
    stray.Send({}, serve.endpoint());
    ExpectSilence(stray);
    EXPECT_EQ(serve.Wait(), 1);
    EXPECT_NE(serve.Trace().find("socket was closed\n"), std::string::npos);
    EXPECT_TRUE(PortReleased(serve.port()));
}

TEST(AdversarialTiny, BareReadOpcodeIsARequestWithoutName) {
    ImageFile image(kSmallImage);
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    RawClient client;
    client.Send(B({"\0\1", 2}), serve.endpoint());
    ExpectRefusedAndEnded(serve, client, "CheckFilename:308 - Could not find filename in request.\n");
}

TEST(AdversarialError, ErrorPacketsOnTheServerPortUseNoPass) {
    ImageFile image(kSmallImage);
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    RawClient stray;
    stray.Send(B({"\0\5\0\1", 4}), serve.endpoint());
    ExpectSilence(stray);
    ExpectServesBothPasses(serve, image);
}

TEST(AdversarialError, ErrorDuringTransferEndsItAndItsTextIsEscapedAndBounded) {
    ImageFile image(kSmallImage);
    struct Case {
        const char* what;
        Bytes packet;
        std::string expectedText;
    };
    Bytes noNul(1400, 'E');
    noNul[0] = 0;
    noNul[1] = 5;
    noNul[2] = 0;
    noNul[3] = 3;
    const Case cases[] = {
        {"4 bytes, no message", B({"\0\5\0\0", 4}), "client returned TFTP_ERROR () \n"},
        {"1,400 bytes, no NUL", noNul, "client returned TFTP_ERROR (" + std::string(512, 'E') + ") \n"},
        {"control characters",
         B("\0\5\0\1bad\x1b[2J\r\x07\x7f\x9b"
           "end\0"s),
         "client returned TFTP_ERROR (bad\\x1b[2J\\x0d\\x07\\x7f\\x9bend) \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0);
        RawClient device;
        device.Send(Rrq("image", "octet"), serve.endpoint());
        net::Endpoint from;
        auto data1 = device.Receive(5s, &from);
        ASSERT_TRUE(data1.has_value());
        EXPECT_EQ(Opcode(*data1), 3u);
        device.Send(c.packet, from);
        // The transfer ends at once, with no further DATA and no ERROR sent back.
        ExpectSilence(device, 1500ms);
        EXPECT_EQ(serve.Wait(), 1);
        const std::string trace = serve.Trace();
        EXPECT_NE(trace.find(c.expectedText), std::string::npos) << trace;
        ExpectPrintableTrace(trace);
        EXPECT_TRUE(PortReleased(serve.port()));
    }
}

TEST(AdversarialRequest, MalformedReadRequestsAreRefusedWithoutAnswer) {
    ImageFile image(kSmallImage);
    Bytes huge(65507, 'A');
    huge[0] = 0;
    huge[1] = 1;
    const std::pair<Bytes, std::string> cases[] = {
        {B({"\0\1image", 7}), "CheckFilename:308 - Could not find filename in request.\n"},
        {B({"\0\1image\0", 8}), "CheckFilename:332 - Could not find transfer mode in request.\n"},
        {B({"\0\1\0octet\0", 9}), "CheckFilename:313 - Bad image name requested.\n"},
        // Only 516 bytes are read: the name's NUL lies beyond them.
        {huge, "CheckFilename:308 - Could not find filename in request.\n"},
    };
    for (const auto& [request, line] : cases) {
        SCOPED_TRACE(line + " for " + std::to_string(request.size()) + " bytes");
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0);
        RawClient client;
        client.Send(request, serve.endpoint());
        ExpectRefusedAndEnded(serve, client, line);
    }
}

// With negotiation on, an unterminated option list is answered with ERROR 8 (tests/tftp).
TEST(AdversarialRequest, WithoutNegotiationTrailingBytesAfterTheModeAreIgnored) {
    ImageFile image(kSmallImage);
    Bytes huge = Rrq("image", "octet");
    huge.resize(65507, 'G');
    for (const Bytes& request : {Rrq("image", "octet", std::string("garbage\xff", 8)), huge}) {
        SCOPED_TRACE(request.size());
        ServeProcess serve({"--image", image.path(), "--tftp-no-options"});
        ASSERT_NE(serve.port(), 0);
        RawClient device;
        std::string text(request.begin(), request.end());
        auto got = device.Download(serve.endpoint(), text);
        ASSERT_TRUE(got.has_value()) << serve.Trace();
        EXPECT_EQ(*got, image.bytes());
        ExpectServesLastPass(serve, image);
    }
}

TEST(AdversarialRequest, OnlyModeOctetInLowerCaseIsServed) {
    ImageFile image(kSmallImage);
    for (const Bytes& request : {Rrq("image", "OCTET"), Rrq("image", "netascii"), Rrq("image", "mail"),
                                 Rrq("image", "octetjunk"), Rrq("image", "octet ")}) {
        SCOPED_TRACE(std::string(request.begin() + 8, request.end() - 1));
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0);
        RawClient client;
        client.Send(request, serve.endpoint());
        ExpectRefusedAndEnded(serve, client, "CheckFilename:336 - Bad transfer mode requested.\n");
    }
}

TEST(AdversarialRequest, OnlyTheNameImageIsServed) {
    ImageFile image(kSmallImage);
    const std::string names[] = {"../image",  "/image",   "image/../../etc/passwd",
                                 "..\\image", "./image",  "IMAGE",
                                 "image ",    "image.bin"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0);
        RawClient client;
        client.Send(Rrq(name, "octet"), serve.endpoint());
        ExpectRefusedAndEnded(serve, client, "CheckFilename:313 - Bad image name requested.\n");
    }
    // 1,000 characters do not fit the 516-byte request buffer, so no NUL ends the name.
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    RawClient client;
    client.Send(Rrq(std::string(1000, 'i'), "octet"), serve.endpoint());
    ExpectRefusedAndEnded(serve, client, "CheckFilename:308 - Could not find filename in request.\n");
}

TEST(AdversarialRequest, WithoutNegotiationOptionsAreNotAnsweredAndBlocksStay512Bytes) {
    ImageFile image(kSmallImage);
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += "opt" + std::to_string(i) + std::string("\0", 1) + "1" + std::string("\0", 1);
    const std::string options[] = {
        Options({"blksize", "65464", "tsize", "0", "timeout", "1", "windowsize", "64"}),
        Options({"blksize", "99999999999999999999999999", "tsize", "18446744073709551616"}), many,
        std::string("blksize\0"s), // an option with no value
    };
    for (const std::string& rest : options) {
        SCOPED_TRACE(rest.substr(0, 20));
        ServeProcess serve({"--image", image.path(), "--tftp-no-options"});
        ASSERT_NE(serve.port(), 0);
        RawClient device;
        device.Send(Rrq("image", "octet", rest), serve.endpoint());
        net::Endpoint from;
        auto first = device.Receive(5s, &from);
        ASSERT_TRUE(first.has_value());
        // Plain DATA 1 of a full 512-byte block: no OACK (opcode 6).
        EXPECT_EQ(Opcode(*first), 3u);
        EXPECT_EQ(BlockOf(*first), 1u);
        EXPECT_EQ(first->size(), 516u);
        Bytes got(first->begin() + 4, first->end());
        device.Send(Ack(1), from);
        for (unsigned block = 2;; ++block) {
            auto next = device.Receive(5s, &from);
            ASSERT_TRUE(next.has_value());
            ASSERT_EQ(BlockOf(*next), block);
            got.insert(got.end(), next->begin() + 4, next->end());
            device.Send(Ack(block), from);
            if (next->size() < 516)
                break;
        }
        EXPECT_EQ(got, image.bytes());
        ExpectServesLastPass(serve, image);
    }
}

TEST(AdversarialOpcode, UnknownOpcodesUseNoPassAndWriteRequestsAreRefusedAndUseOne) {
    ImageFile image(kSmallImage);
    for (const Bytes& packet : {B({"\0\0image\0octet\0", 14}),
                                B({"\0\6blksize\0"
                                   "512\0",
                                   14}),
                                B({"\0\7\0\1", 4}), B({"\xff\xff\0\0", 4}), B({"\0\3\0\1data", 8})}) {
        SCOPED_TRACE(Opcode(packet));
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0);
        RawClient stray;
        stray.Send(packet, serve.endpoint());
        ExpectSilence(stray);
        ExpectServesBothPasses(serve, image);
    }
    // WRQ: the 21-byte ERROR 2 "Access violation" goes to its sender, and the pass is used.
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    RawClient writer;
    Bytes wrq = Rrq("image", "octet");
    wrq[1] = 2;
    writer.Send(wrq, serve.endpoint());
    auto answer = writer.Receive(5s);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, B({"\0\5\0\2Access violation\0", 21}));
    ExpectSilence(writer);
    ExpectServesLastPass(serve, image);
}

TEST(AdversarialAck, StaleAndShortAcksAreWaitedPastAndExtraBytesIgnored) {
    ImageFile image(5 * 512 + 10); // 6 blocks
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    RawClient device;
    device.Send(Rrq("image", "octet"), serve.endpoint());
    net::Endpoint from;
    Bytes got;

    auto expectData = [&](unsigned block) {
        auto p = device.Receive(5s, &from);
        EXPECT_TRUE(p.has_value());
        if (!p)
            return false;
        EXPECT_EQ(Opcode(*p), 3u);
        EXPECT_EQ(BlockOf(*p), block);
        got.insert(got.end(), p->begin() + 4, p->end());
        return true;
    };
    ASSERT_TRUE(expectData(1));
    // While block 1 is awaited, ACK 0 (also a 3-byte ACK, whose missing byte reads as 0) is the
    // previous block's: nothing is sent.
    device.Send(Ack(0), from);
    device.Send(B({"\0\4\0", 3}), from);
    ExpectSilence(device);
    device.Send(Ack(1), from);
    ASSERT_TRUE(expectData(2));
    device.Send(Ack(2), from);
    ASSERT_TRUE(expectData(3));
    // 100 copies of ACK 2 while block 3 is awaited: no DATA at all (the resend timer is 1 s).
    for (int i = 0; i < 100; ++i)
        device.Send(Ack(2), from);
    ExpectSilence(device, 500ms);
    // A 6-byte ACK counts by its first four bytes.
    device.Send(B({"\0\4\0\3\xde\xad", 6}), from);
    ASSERT_TRUE(expectData(4));
    device.Send(Ack(4), from);
    ASSERT_TRUE(expectData(5));
    device.Send(Ack(5), from);
    ASSERT_TRUE(expectData(6));
    device.Send(Ack(6), from);
    EXPECT_EQ(got, image.bytes());
    ExpectServesLastPass(serve, image);
}

TEST(AdversarialAck, AckAheadOrFarBehindEndsTheTransfer) {
    ImageFile image(5 * 512 + 10);
    for (unsigned wrong : {4u, 0u, 0xFFFFu}) { // block 3 awaited: n + 1, 0, and far off
        SCOPED_TRACE(wrong);
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0);
        RawClient device;
        device.Send(Rrq("image", "octet"), serve.endpoint());
        net::Endpoint from;
        for (unsigned block = 1; block <= 3; ++block) {
            auto p = device.Receive(5s, &from);
            ASSERT_TRUE(p.has_value());
            ASSERT_EQ(BlockOf(*p), block);
            if (block < 3)
                device.Send(Ack(block), from);
        }
        device.Send(Ack(wrong), from);
        ExpectSilence(device, 1500ms);
        EXPECT_EQ(serve.Wait(), 1);
        const std::string trace = serve.Trace();
        EXPECT_NE(trace.find("got ACK for (" + std::to_string(wrong) + "), expected ACK for (3)"),
                  std::string::npos)
            << trace;
        EXPECT_NE(trace.find("Correct ACK not recieved...bailing out."), std::string::npos);
        EXPECT_TRUE(PortReleased(serve.port()));
    }
}

TEST(AdversarialStranger, DatagramsFromAnotherHostDuringATransferAreIgnored) {
    ImageFile image(5 * 512 + 10);
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    RawClient device;
    RawClient stranger(net::Ipv4{0x7F000002u}); // 127.0.0.2
    device.Send(Rrq("image", "octet"), serve.endpoint());
    net::Endpoint from;
    auto p = device.Receive(5s, &from);
    ASSERT_TRUE(p.has_value());
    Bytes got(p->begin() + 4, p->end());
    // The right ACK, a wrong ACK, an ERROR, a new request: all from the stranger, all ignored.
    stranger.Send(Ack(1), from);
    stranger.Send(Ack(7), from);
    stranger.Send(B({"\0\5\0\0stop\0", 9}), from);
    stranger.Send(Rrq("image", "octet"), serve.endpoint());
    ExpectSilence(device, 500ms);
    ExpectSilence(stranger, 100ms);
    for (unsigned block = 1;; ++block) {
        device.Send(Ack(block), from);
        if (p->size() < 516)
            break;
        p = device.Receive(5s, &from);
        ASSERT_TRUE(p.has_value());
        ASSERT_EQ(BlockOf(*p), block + 1);
        got.insert(got.end(), p->begin() + 4, p->end());
    }
    EXPECT_EQ(got, image.bytes());
    EXPECT_NE(serve.Trace().find("Ignoring datagram from 127.0.0.2"), std::string::npos);
    ExpectServesLastPass(serve, image);
}

TEST(AdversarialStranger, RequestFromASecondHostWhileADeviceIsExpectedUsesNoPass) {
    ImageFile image(kSmallImage);
    ServeProcess serve({"--image", image.path(), "--client", "127.0.0.1"});
    ASSERT_NE(serve.port(), 0);
    RawClient stranger(net::Ipv4{0x7F000002u});
    stranger.Send(Rrq("image", "octet"), serve.endpoint());
    stranger.Send(B({"\0\2image\0octet\0", 14}), serve.endpoint());
    ExpectSilence(stranger);
    ExpectServesBothPasses(serve, image);
}
