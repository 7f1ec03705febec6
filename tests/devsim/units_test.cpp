#include "devsim/devsim.h"
#include "devsim/http_text.h"
#include "devsim/image_check.h"
#include "engine/sha256.h"
#include "tests/devsim/peers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

using devsim::CheckImage;
using devsim::ReadTrailer;

std::span<const std::uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Sha256, KnownAnswers) {
    // FIPS 180-4 examples, and a message that crosses the padding boundary.
    EXPECT_EQ(Sha256::HexOf(Bytes("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::HexOf(Bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256::HexOf(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 h;
    std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i)
        h.Update(thousand);
    EXPECT_EQ(Sha256::Hex(h.Finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Uneven pieces give the same digest as one call.
    std::string text(1000, 'x');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(i * 7);
    Sha256 pieces;
    for (std::size_t at = 0, n = 1; at < text.size(); at += n, n = n * 2 + 1)
        pieces.Update(std::string_view(text).substr(at, n));
    EXPECT_EQ(Sha256::Hex(pieces.Finish()), Sha256::HexOf(Bytes(text)));
}

TEST(ImageCheck, Crc32AndBuiltInTrailers) {
    EXPECT_EQ(devsim::Crc32(Bytes("123456789")), 0xCBF43926u); // the CRC-32 check value
    struct Case {
        const char* file;
        const char* family;
        const char* version;
    } cases[] = {{"tolva21.bin", "TOLVA-21XX", "109"},
                 {"tolva22.bin", "TOLVA-22XX", "109"},
                 {"dravenholt.bin", "DRAVENHOLT-II", "621"}};
    for (const auto& c : cases) {
        auto image = devsim_test::BuiltInImage(c.file);
        ASSERT_GT(image.size(), devsim::kTrailerSize) << c.file;
        auto t = ReadTrailer(image);
        EXPECT_TRUE(t.present) << c.file;
        EXPECT_EQ(t.family, c.family);
        EXPECT_EQ(t.version, c.version);
        EXPECT_TRUE(t.crcMatches()) << c.file;
    }
}

TEST(ImageCheck, Verdicts) {
    auto image = devsim_test::BuiltInImage("tolva21.bin");
    std::vector<std::string> tolva21 = devsim::AcceptedFamilies(devsim::Model::Tolva21);
    std::vector<std::string> drav = devsim::AcceptedFamilies(devsim::Model::Dravenholt);
    EXPECT_TRUE(CheckImage(ReadTrailer(image), tolva21, false).accepted);
    EXPECT_TRUE(
        CheckImage(ReadTrailer(image), devsim::AcceptedFamilies(devsim::Model::Tolva), false).accepted);
    auto wrong = CheckImage(ReadTrailer(image), drav, true);
    EXPECT_FALSE(wrong.accepted);
    EXPECT_NE(wrong.reason.find("wrong model"), std::string::npos);

    auto corrupt = image;
    corrupt[1000] ^= 0x01;
    auto bad = CheckImage(ReadTrailer(corrupt), tolva21, true);
    EXPECT_FALSE(bad.accepted);
    EXPECT_NE(bad.reason.find("bad checksum"), std::string::npos);
    auto corruptCrc = image;
    corruptCrc.back() ^= 0x80;
    EXPECT_FALSE(CheckImage(ReadTrailer(corruptCrc), tolva21, false).accepted);

    std::vector<std::uint8_t> plain(5000, 0x5A);
    EXPECT_FALSE(ReadTrailer(plain).present);
    EXPECT_FALSE(CheckImage(ReadTrailer(plain), tolva21, false).accepted);
    EXPECT_TRUE(CheckImage(ReadTrailer(plain), tolva21, true).accepted);
    std::vector<std::uint8_t> tiny(10, 0);
    EXPECT_FALSE(ReadTrailer(tiny).present);

    EXPECT_EQ(devsim::DottedVersion("109"), "1.0.9");
    EXPECT_EQ(devsim::DottedVersion("621"), "6.2.1");
    EXPECT_EQ(devsim::DottedVersion(""), "");
}

TEST(HttpText, Base64AndCredentials) {
    EXPECT_EQ(devsim::DecodeBase64("cm9vdDptYXJsaW4="), "root:marlin");
    EXPECT_EQ(devsim::DecodeBase64("Og=="), ":");
    EXPECT_EQ(devsim::DecodeBase64(""), "");
    EXPECT_FALSE(devsim::DecodeBase64("cm9vdDptYXJsaW4"));  // length not a multiple of 4
    EXPECT_FALSE(devsim::DecodeBase64("cm9v*DptYXJsaW4=")); // character outside the alphabet
    EXPECT_FALSE(devsim::DecodeBase64("Og==Og=="));         // data after padding
    EXPECT_EQ(devsim::BasicCredentials("Basic cm9vdDptYXJsaW4="), "root:marlin");
    EXPECT_EQ(devsim::BasicCredentials("basic  cm9vdDptYXJsaW4= "), "root:marlin");
    EXPECT_FALSE(devsim::BasicCredentials("Digest cm9vdDptYXJsaW4="));
}

TEST(HttpText, RequestsAndQueries) {
    auto r = devsim::ParseRequest(
        "GET /config?if=image&ih=10.0.0.5&id=1 HTTP/1.0\r\nAuthorization: Basic Og==\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->method, "GET");
    EXPECT_EQ(r->path, "/config");
    EXPECT_EQ(r->Header("authorization"), "Basic Og==");
    EXPECT_EQ(devsim::QueryValue(r->query, "if"), "image");
    EXPECT_EQ(devsim::QueryValue(r->query, "ih"), "10.0.0.5");
    EXPECT_EQ(devsim::QueryValue(r->query, "id"), "1");
    EXPECT_FALSE(devsim::QueryValue(r->query, "i"));
    EXPECT_EQ(devsim::QueryValue("ih=10%2E0.0.1", "ih"), "10.0.0.1");
    EXPECT_FALSE(devsim::ParseRequest("GET /\r\n\r\n"));
    EXPECT_FALSE(devsim::ParseRequest("garbage\r\n\r\n"));
    EXPECT_EQ(devsim::HeadEnd("GET / HTTP/1.0\r\n\r\n"), 18u);
    EXPECT_EQ(devsim::HeadEnd("GET / HTTP/1.0\n\nrest"), 16u);
    EXPECT_EQ(devsim::HeadEnd("GET / HTTP/1.0\r\n"), std::string::npos);
}

TEST(HttpText, ReportTextHidesCredentials) {
    std::string req =
        "GET /config?if=image&ih=1.2.3.4 HTTP/1.0\r\nAuthorization: Basic cm9vdDptYXJsaW4=\r\n\r\n";
    std::string red = devsim::RedactCredentials(req);
    EXPECT_EQ(red, "GET /config?if=image&ih=1.2.3.4 HTTP/1.0\r\nAuthorization: Basic [credentials]\r\n\r\n");
    EXPECT_EQ(devsim::RedactCredentials("authorization:cm9v\n"), "authorization: [credentials]\n");
}

// A peer may send any bytes: the report stays valid JSON, with UTF-8 kept and each byte that is
// not UTF-8 as U+FFFD, and the length of what came.
TEST(HttpText, ReportIsValidJsonWhateverAPeerSends) {
    devsim::Report report;
    report.model = "Tolva 2200";
    devsim::RequestRecord request;
    request.bytes = "GET /caf\xc3\xa9\xff HTTP/1.0\r\n\x01\r\n";
    request.target = "/caf\xc3\xa9\xff";
    report.requests.push_back(request);
    const std::string text = devsim::ReportJson(report);
    ASSERT_TRUE(nlohmann::json::accept(text)) << text;
    const auto parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed["requests"][0]["bytes"], "GET /caf\xc3\xa9\xef\xbf\xbd HTTP/1.0\r\n\x01\r\n");
    EXPECT_EQ(parsed["requests"][0]["length"], 25);
    EXPECT_EQ(parsed["requests"][0]["target"], "/caf\xc3\xa9\xef\xbf\xbd");
    EXPECT_EQ(parsed["upgrades"].size(), 0u);
}

TEST(Faults, Parsing) {
    devsim::Faults f;
    std::string why;
    EXPECT_TRUE(devsim::ParseFault("drop-data=0.25", f, &why));
    EXPECT_DOUBLE_EQ(f.dropData.fraction, 0.25);
    EXPECT_EQ(f.dropData.passes, devsim::kBothPasses);
    EXPECT_TRUE(devsim::ParseFault("wrong-ack=7@2", f, &why));
    EXPECT_EQ(f.wrongAck.block, 7u);
    EXPECT_EQ(f.wrongAck.passes, 2u);
    EXPECT_TRUE(devsim::ParseFault("duplicate-ack", f, &why));
    EXPECT_EQ(f.duplicateAck.block, 1u);
    EXPECT_TRUE(devsim::ParseFault("slow", f, &why));
    EXPECT_EQ(f.slow.count(), 2000);
    EXPECT_TRUE(devsim::ParseFault("silent", f, &why));
    EXPECT_TRUE(f.silent);
    EXPECT_TRUE(devsim::ParseFault("ack-delay=5@2", f, &why));
    EXPECT_EQ(f.ackDelay.count(), 5);
    EXPECT_EQ(f.ackDelayPasses, 2u);
    EXPECT_TRUE(devsim::ParseFault("command-status=503", f, &why));
    EXPECT_EQ(f.commandStatus, 503);
    for (const char* bad :
         {"command-status", "command-status=199", "command-status=600", "command-status=50x"})
        EXPECT_FALSE(devsim::ParseFault(bad, f, &why)) << bad;
    EXPECT_EQ(f.commandStatus, 503);
    EXPECT_FALSE(devsim::ParseFault("drop-data=1.5", f, &why));
    EXPECT_FALSE(devsim::ParseFault("drop-ack", f, &why));
    EXPECT_FALSE(devsim::ParseFault("wrong-ack=0", f, &why));
    EXPECT_FALSE(devsim::ParseFault("silent=1", f, &why));
    EXPECT_FALSE(devsim::ParseFault("wrong-ack=3@3", f, &why));
    EXPECT_FALSE(devsim::ParseFault("explode", f, &why));
    EXPECT_NE(why.find("explode"), std::string::npos);
}

TEST(Faults, EndOfTransferFaultsTakeTheirDownload) {
    devsim::Faults f;
    std::string why;
    EXPECT_EQ(f.dropFinalAck, 0u);
    EXPECT_EQ(f.requestOnce, 0u);
    EXPECT_EQ(f.lateFinalAck.delay.count(), 0);
    EXPECT_TRUE(devsim::ParseFault("drop-final-ack@2", f, &why)) << why;
    EXPECT_EQ(f.dropFinalAck, 2u);
    EXPECT_TRUE(devsim::ParseFault("drop-final-ack@1", f, &why)) << why;
    EXPECT_EQ(f.dropFinalAck, 1u) << "the last one given counts";
    EXPECT_TRUE(devsim::ParseFault("request-once", f, &why)) << why;
    EXPECT_EQ(f.requestOnce, devsim::kBothPasses);
    EXPECT_TRUE(devsim::ParseFault("late-final-ack", f, &why)) << why;
    EXPECT_EQ(f.lateFinalAck.delay.count(), 300);
    EXPECT_EQ(f.lateFinalAck.passes, devsim::kBothPasses);
    EXPECT_TRUE(devsim::ParseFault("late-final-ack=1200@1", f, &why)) << why;
    EXPECT_EQ(f.lateFinalAck.delay.count(), 1200);
    EXPECT_EQ(f.lateFinalAck.passes, 1u);
    for (const char* bad : {"drop-final-ack=1", "request-once=yes", "late-final-ack=0", "late-final-ack=-5",
                            "late-final-ack=1s", "drop-final-ack@0", "late-final-ack=300@"})
        EXPECT_FALSE(devsim::ParseFault(bad, f, &why)) << bad;
    // Each fault keeps its own value when several are given.
    EXPECT_EQ(f.dropFinalAck, 1u);
    EXPECT_EQ(f.requestOnce, devsim::kBothPasses);
    EXPECT_EQ(f.lateFinalAck.delay.count(), 1200);
}

TEST(Rng, SameSeedSameDecisions) {
    devsim::Rng a(42), b(42), c(43);
    int same = 0, hits = 0;
    for (int i = 0; i < 10000; ++i) {
        bool x = a.Chance(0.2);
        EXPECT_EQ(x, b.Chance(0.2));
        same += x == c.Chance(0.2);
        hits += x;
    }
    EXPECT_LT(same, 10000);
    EXPECT_NEAR(hits, 2000, 200);
}

} // namespace
