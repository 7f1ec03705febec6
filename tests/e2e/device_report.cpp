#include "tests/e2e/device_report.h"

#include "devsim/image_check.h"
#include "tests/support/event_recorder.h"

#include <span>
#include <thread>

namespace skelvo::e2e {
namespace {

// The text after `"key": ` up to the next comma, brace or line end; for a string, its body. The
// report escapes every quote inside its strings, so a key found this way is a real key.
std::string Value(const std::string& json, const std::string& key, std::size_t from = 0,
                  std::size_t* next = nullptr) {
    const std::string tag = "\"" + key + "\": ";
    std::size_t at = json.find(tag, from);
    if (at == std::string::npos) {
        if (next != nullptr)
            *next = std::string::npos;
        return "";
    }
    at += tag.size();
    std::size_t end = 0;
    std::string value;
    if (json[at] == '"') {
        end = json.find('"', at + 1);
        value = json.substr(at + 1, end - at - 1);
    } else {
        end = json.find_first_of(",}\n", at);
        value = json.substr(at, end - at);
    }
    if (next != nullptr)
        *next = end;
    return value;
}

std::string Tail(const std::string& text, std::size_t n) {
    return text.size() > n ? "..." + text.substr(text.size() - n) : text;
}

} // namespace

DeviceOutcome ReadDeviceReport(const std::string& json) {
    DeviceOutcome d;
    d.upgrades = static_cast<int>(Count(json, "\"tftp_server\": "));
    d.verified = Value(json, "verified") == "true";
    d.identical = Value(json, "identical") == "true";
    d.erased = Value(json, "erased") == "true";
    d.programmed = Value(json, "programmed") == "true";
    d.finalVersion = Value(json, "final_version");
    d.outcome = Value(json, "outcome");
    for (std::size_t at = 0; at != std::string::npos;) {
        std::string sha = Value(json, "sha256", at, &at);
        if (at != std::string::npos)
            d.passSha256.push_back(sha);
    }
    return d;
}

std::vector<unsigned char> ImageWithTrailer(std::size_t size, const std::string& family,
                                            const std::string& versionDigits, unsigned seed) {
    std::vector<unsigned char> image = skelvo::test::PatternBytes(size - devsim::kTrailerSize, seed);
    const std::uint32_t crc = devsim::Crc32(std::span<const std::uint8_t>(image.data(), image.size()));
    auto field = [&](const std::string& text, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i)
            image.push_back(i < text.size() ? static_cast<unsigned char>(text[i]) : 0);
    };
    field(devsim::kTrailerMagic, 8);
    field(family, 16);
    field(versionDigits, 8);
    for (int shift = 24; shift >= 0; shift -= 8)
        image.push_back(static_cast<unsigned char>(crc >> shift));
    return image;
}

UpgradeRun UpgradeOnce(const std::string& model, const std::string& address,
                       const std::vector<std::string>& simArgs, const std::vector<std::string>& cliArgs,
                       std::chrono::seconds bound) {
    const std::uint16_t tftp = FreeUdpPort();
    std::vector<std::string> sim{"--erase-seconds", "0", "--reboot-seconds", "0"};
    sim.insert(sim.end(), simArgs.begin(), simArgs.end());
    DevSim device(model, address, tftp, sim);
    std::vector<std::string> args{"upgrade",     address,
                                  "--http-port", std::to_string(device.httpPort()),
                                  "--tftp-port", std::to_string(tftp),
                                  "--yes",       "--json"};
    args.insert(args.end(), cliArgs.begin(), cliArgs.end());
    UpgradeRun run;
    run.cli = RunCli(args, CliOptions{"", {}, bound});
    // The device goes on by itself once commanded; its verdict is the one it reaches on its own
    // (it gives up a download after its TFTP time-outs, well within the bound).
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (Count(device.Log(), "\nupgrade: fetching") > 0 && Count(device.Log(), "\nupgrade: ") < 2 &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    run.report = device.StopAndReport();
    run.device = ReadDeviceReport(run.report);
    run.deviceLog = device.Log();
    return run;
}

bool ExitAgreesWithDevice(const UpgradeRun& run) {
    return (run.cli.status == 0) == run.device.programmed;
}

std::string CheckProgrammed(const UpgradeRun& run, const std::string& imageSha, const std::string& version) {
    const DeviceOutcome& d = run.device;
    std::string wrong;
    if (run.cli.status != 0)
        wrong += " exit status " + std::to_string(run.cli.status) + ";";
    if (d.upgrades != 1)
        wrong += " " + std::to_string(d.upgrades) + " upgrades started;";
    if (!d.verified || !d.identical || !d.programmed)
        wrong += " device outcome \"" + d.outcome + "\";";
    if (d.passSha256 != std::vector<std::string>{imageSha, imageSha})
        wrong += " the downloads are not both the image;";
    if (d.finalVersion != version)
        wrong += " device shows version " + d.finalVersion + ";";
    if (wrong.empty())
        return "";
    return "wrong:" + wrong + "\n--- skelvo-cli stdout (end)\n" + Tail(run.cli.out, 4000) +
           "\n--- skelvo-cli stderr\n" + Tail(run.cli.err, 2000) + "\n--- device log (end)\n" +
           Tail(run.deviceLog, 6000);
}

} // namespace skelvo::e2e
