#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"

#include "engine/sha256.h"
#include "engine/upgrade_record.h"

#include <cstdio>
#include <memory>

namespace skelvo::cli {

namespace {

int ListImages(bool json) {
    struct Row {
        const char* line;
        int type;
    };
    // One line per image, in the order of the About box.
    const Row rows[] = {
        {"Tolva 21xx", SERVER_TOLVA_21XX},
        {"Tolva 22xx", SERVER_TOLVA_22XX},
        {"Dravenholt II", SERVER_DRAVENHOLT},
    };
    if (!json)
        std::printf("Built-in firmware images:\n");
    for (const auto& row : rows) {
        const ImageDescriptor* image = nullptr;
        SelectImage(row.type, &image);
        const char* version = ImageVersion(row.type);
        const std::string display = FormatVersion(version != nullptr ? version : "");
        const std::string digest =
            image != nullptr ? Sha256::HexOf(std::span<const std::uint8_t>(image->Data, image->Size)) : "";
        const long long size = image != nullptr ? image->Size : 0;
        if (json)
            JsonLine()
                .Add("event", "image")
                .Add("model", row.line)
                .Add("version", display)
                .Add("size", size)
                .Add("sha256", digest)
                .Write(stdout);
        else
            std::printf("  %-14s version %-8s %8lld bytes  sha256 %s\n", row.line, display.c_str(), size,
                        digest.c_str());
    }
    return kExitComplete;
}

} // namespace

Command AddImages(CLI::App& program) {
    CLI::App* command = program.add_subcommand(
        "images", "list the built-in firmware images with their display versions, sizes and SHA-256");
    auto json = std::make_shared<bool>(false);
    command->add_flag("--json", *json, "one JSON object per image on standard output");
    return {command, [json] { return ListImages(*json); }};
}

} // namespace skelvo::cli
