// The image that 'serve' and 'rescue' hand out: a file, or a built-in image by its --builtin name.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

namespace skelvo::cli {

struct ImageChoice {
    std::optional<std::string> file;
    std::optional<int> builtin; // a ServerType
    std::string builtinName;
};

// Declares --image FILE and --builtin NAME on command.
void AddImageOptions(CLI::App& command, ImageChoice& choice);

// Why choice names no image to serve (neither or both options), or empty.
std::string ImageChoiceProblem(const ImageChoice& choice);

// Reads a user's image file as the engine's file image (its name recorded with it); false when it
// cannot be read.
bool LoadUserImage(const std::string& path);

// Makes the chosen image the one the TFTP server hands out, and returns how to name it ("the
// built-in tolva22 image, version 1.0.9 (755511 bytes)"); nothing when the file cannot be read.
std::optional<std::string> SelectImageChoice(const ImageChoice& choice);

} // namespace skelvo::cli
