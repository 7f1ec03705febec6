#include "devsim/devsim.h"

#include <algorithm>
#include <charconv>

namespace devsim {
namespace {

struct ModelInfo {
    Model model;
    const char* name;
    const char* product;
    const char* firmware;
    const char* family;
};

// The generic Tolva is a 2300, whose model the program does not tell apart; it is served the
// 21xx image, so it takes that family.
constexpr ModelInfo kModels[] = {
    {Model::Tolva21, "tolva21", "Tolva 2100", "1.0.8", "TOLVA-21XX"},
    {Model::Tolva22, "tolva22", "Tolva 2200", "1.0.8", "TOLVA-22XX"},
    {Model::Tolva, "tolva", "Tolva 2300", "1.0.8", "TOLVA-21XX"},
    {Model::Dravenholt, "dravenholt", "Dravenholt II", "6.2.0", "DRAVENHOLT-II"},
    {Model::Vintrosphere, "vintrosphere", "Vintrosphere", "6.2.0", "DRAVENHOLT-II"},
};

const ModelInfo& Info(Model m) {
    for (const auto& i : kModels)
        if (i.model == m)
            return i;
    return kModels[0];
}

bool ParseFraction(std::string_view text, double& out) {
    // std::from_chars for double is in libstdc++ 11 and later.
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size() && out >= 0 && out <= 1;
}

bool ParseCount(std::string_view text, std::uint32_t& out) {
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size();
}

struct FaultName {
    const char* name;
    const char* help;
};

constexpr FaultName kFaultNames[] = {
    {"refuse-login", "answer every upgrade command with 401, whatever the credentials"},
    {"silent", "accept connections and never answer"},
    {"no-server-header", "replies carry no Server line"},
    {"lowercase-server-header", "the Server line is written \"server:\""},
    {"split-server-header", "the Server line leaves in two TCP segments, 100 ms apart"},
    {"server-in-body", "the HTML body holds \"Server: Dravenholt II\""},
    {"reset-after-command[=MS]",
     "reset (RST) the command's connection before any reply; the upgrade still runs. With MS, the "
     "download begins first and the reset follows MS later"},
    {"slow[=MS]", "wait MS (default 2000) before each reply, then send it in small pieces"},
    {"trickle[=MS]", "answer with a header that never ends, one byte every MS (default 2000)"},
    {"endless-header", "answer with header lines without a Server line, as fast as they are read, for ever"},
    {"trickle-command[=MS]",
     "answer the upgrade command with a reply that never ends, one byte every MS (default 2000), and "
     "fetch nothing"},
    {"drop-data=FRACTION", "ignore this fraction of the DATA packets received, as if lost"},
    {"drop-ack=FRACTION", "do not send this fraction of the ACKs"},
    {"duplicate-ack[=N]", "send the ACK of block N (default 1) twice"},
    {"wrong-ack[=N]", "the first ACK of block N (default 1) carries N+1"},
    {"error-mid-transfer[=N]", "on block N (default 2) send ERROR 0 instead of the ACK and give up"},
    {"ack-delay=MS", "wait MS before every ACK"},
    {"no-second-request", "after the erase wait, never send the second read request"},
    {"drop-final-ack", "do not send the ACK of the last block, and leave at once without dallying"},
    {"request-once", "send the read request once, at once, and never repeat it"},
    {"late-final-ack[=MS]", "send the ACK of the last block once more MS (default 300) later"},
    {"command-status=CODE",
     "answer a good upgrade command with this HTTP status (200-599) and fetch nothing"},
};

} // namespace

std::optional<Model> ParseModel(std::string_view name) {
    for (const auto& i : kModels)
        if (name == i.name)
            return i.model;
    return std::nullopt;
}
const char* ModelName(Model model) {
    return Info(model).name;
}
const char* ProductName(Model model) {
    return Info(model).product;
}
const char* DefaultFirmware(Model model) {
    return Info(model).firmware;
}
std::vector<std::string> AcceptedFamilies(Model model) {
    return {Info(model).family};
}

bool ParseFault(std::string_view text, Faults& f, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr)
            *error = why;
        return false;
    };
    unsigned passes = kBothPasses;
    if (std::size_t at = text.find('@'); at != std::string_view::npos) {
        std::string_view p = text.substr(at + 1);
        if (p == "1")
            passes = 1;
        else if (p == "2")
            passes = 2;
        else
            return fail("fault pass must be @1 or @2: " + std::string(text));
        text = text.substr(0, at);
    }
    std::string_view name = text.substr(0, text.find('='));
    std::optional<std::string_view> value;
    if (std::size_t eq = text.find('='); eq != std::string_view::npos)
        value = text.substr(eq + 1);
    auto flag = [&](bool& field) {
        if (value)
            return fail("fault " + std::string(name) + " takes no value");
        field = true;
        return true;
    };
    auto loss = [&](LossFault& field) {
        double v = 0;
        if (!value || !ParseFraction(*value, v))
            return fail("fault " + std::string(name) + " needs a fraction from 0 to 1");
        field = LossFault{v, passes};
        return true;
    };
    auto perPass = [&](unsigned& field) {
        if (value)
            return fail("fault " + std::string(name) + " takes no value");
        field = passes;
        return true;
    };
    auto block = [&](BlockFault& field, std::uint32_t dflt) {
        std::uint32_t n = dflt;
        if (value && (!ParseCount(*value, n) || n == 0))
            return fail("fault " + std::string(name) + " needs a block number from 1");
        field = BlockFault{n, passes};
        return true;
    };
    auto millis = [&](std::chrono::milliseconds& field, std::optional<std::uint32_t> dflt) {
        std::uint32_t n = dflt.value_or(0);
        if ((value && !ParseCount(*value, n)) || (!value && !dflt))
            return fail("fault " + std::string(name) + " needs milliseconds");
        field = std::chrono::milliseconds(n);
        return true;
    };
    if (name == "refuse-login")
        return flag(f.refuseLogin);
    if (name == "silent")
        return flag(f.silent);
    if (name == "no-server-header")
        return flag(f.noServerHeader);
    if (name == "lowercase-server-header")
        return flag(f.lowercaseServerHeader);
    if (name == "split-server-header")
        return flag(f.splitServerHeader);
    if (name == "server-in-body")
        return flag(f.serverInBody);
    if (name == "reset-after-command") {
        f.resetAfterCommand = true;
        return !value || millis(f.resetAfterCommandDelay, std::nullopt);
    }
    if (name == "no-second-request")
        return flag(f.noSecondRequest);
    if (name == "slow")
        return millis(f.slow, 2000);
    if (name == "trickle")
        return millis(f.trickle, 2000);
    if (name == "endless-header")
        return flag(f.endlessHeader);
    if (name == "trickle-command")
        return millis(f.trickleCommand, 2000);
    if (name == "ack-delay") {
        if (!millis(f.ackDelay, std::nullopt))
            return false;
        f.ackDelayPasses = passes;
        return true;
    }
    if (name == "drop-data")
        return loss(f.dropData);
    if (name == "drop-ack")
        return loss(f.dropAck);
    if (name == "duplicate-ack")
        return block(f.duplicateAck, 1);
    if (name == "wrong-ack")
        return block(f.wrongAck, 1);
    if (name == "error-mid-transfer")
        return block(f.errorMidTransfer, 2);
    if (name == "drop-final-ack")
        return perPass(f.dropFinalAck);
    if (name == "request-once")
        return perPass(f.requestOnce);
    if (name == "late-final-ack") {
        std::uint32_t ms = 300;
        if (value && (!ParseCount(*value, ms) || ms == 0))
            return fail("fault late-final-ack needs milliseconds from 1");
        f.lateFinalAck = DelayFault{std::chrono::milliseconds(ms), passes};
        return true;
    }
    if (name == "command-status") {
        std::uint32_t code = 0;
        if (!value || !ParseCount(*value, code) || code < 200 || code > 599)
            return fail("fault command-status needs an HTTP status from 200 to 599");
        f.commandStatus = static_cast<int>(code);
        return true;
    }
    return fail("unknown fault: " + std::string(name));
}

bool ParseFaultList(std::string_view text, Faults& faults, std::string* error) {
    while (!text.empty()) {
        std::string_view one = text.substr(0, text.find(','));
        text.remove_prefix(std::min(text.size(), one.size() + 1));
        if (!ParseFault(one, faults, error))
            return false;
    }
    return true;
}

std::string FaultHelp() {
    std::string out;
    for (const auto& f : kFaultNames) {
        std::string n = f.name;
        out += "  " + n + std::string(n.size() < 26 ? 26 - n.size() : 1, ' ') + f.help + "\n";
    }
    out += "  TFTP faults take @1 or @2 to touch only the first (verify) or second (program) download.\n";
    return out;
}

} // namespace devsim
