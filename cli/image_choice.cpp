#include "cli/image_choice.h"

#include "cli/cli.h"
#include "upgrade/outcome.h"

#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"

namespace skelvo::cli {

void AddImageOptions(CLI::App& command, ImageChoice& choice) {
    command
        .add_option_function<std::string>(
            "--image", [&choice](const std::string& file) { choice.file = file; },
            "serve this file, unchanged and unchecked")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](const std::string& file) {
                return file.empty() ? std::string("an empty file name") : std::string();
            },
            "", "file"));
    command
        .add_option_function<std::string>(
            "--builtin",
            [&choice](const std::string& name) {
                choice.builtin = BuiltinImageType(name);
                choice.builtinName = name;
            },
            "serve a built-in image: tolva21 (Tolva 21xx and generic Tolva),\n"
            "tolva22 (Tolva 22xx) or dravenholt (Dravenholt II)")
        ->type_name("NAME")
        ->check(CLI::Validator(
            [](const std::string& name) {
                return BuiltinImageType(name) ? std::string()
                                              : "unknown built-in image \"" + PrintableText(name) +
                                                    "\" (use tolva21, tolva22 or dravenholt)";
            },
            "", "builtin"));
}

std::string ImageChoiceProblem(const ImageChoice& choice) {
    if (choice.file && choice.builtin)
        return "give either --image or --builtin, not both";
    if (!choice.file && !choice.builtin)
        return "give the image to serve with --builtin NAME or --image FILE";
    return {};
}

bool LoadUserImage(const std::string& path) {
    SetImageFilename(path);
    return LoadImageFile(path.c_str()) != 0;
}

std::optional<std::string> SelectImageChoice(const ImageChoice& choice) {
    if (choice.file) {
        if (!LoadUserImage(*choice.file))
            return std::nullopt;
        SetImageToUse(SERVER_USER_FILE);
        return "\"" + PrintableText(*choice.file) + "\" (" + std::to_string(g_TftpConfigData.FileImage.Size) +
               " bytes)";
    }
    SetImageToUse(*choice.builtin);
    const ImageDescriptor* image = nullptr;
    SelectImage(*choice.builtin, &image);
    return "the built-in " + choice.builtinName + " image, version " + PresentedVersion(*choice.builtin) +
           " (" + std::to_string(image != nullptr ? image->Size : 0) + " bytes)";
}

} // namespace skelvo::cli
