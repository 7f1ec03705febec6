#include "engine/upgrade_record.h"

#include "engine/images/builtin_images.h"
#include "engine/trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

TftpConfigData g_TftpConfigData{};
const ImageDescriptor* SelectedImage = nullptr;

namespace {

std::unique_ptr<unsigned char[]> g_FileImageBlock;

ImageDescriptor Describe(const BuiltInImage& module) {
    return ImageDescriptor{static_cast<std::uint32_t>(module.Size), module.Chunks[0]};
}

template <std::size_t N> void CopyField(char (&field)[N], std::string_view text) {
    std::size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

// Runs before main(), as the built-in descriptors must be in place before any front end starts.
struct StaticInit {
    StaticInit() { ResetUpgradeRecord(); }
} g_staticInit;

} // namespace

void ResetUpgradeRecord() {
    g_FileImageBlock.reset();
    g_TftpConfigData = TftpConfigData{};
    g_TftpConfigData.Tolva21Image = Describe(Tolva21Module());
    g_TftpConfigData.Tolva22Image = Describe(Tolva22Module());
    g_TftpConfigData.DravenholtImage = Describe(DravenholtModule());
    g_TftpConfigData.FileImage = ImageDescriptor{0, nullptr};
    g_TftpConfigData.ImageToUse = SERVER_UNKNOWN;
    SelectedImage = nullptr;
}

int SetHostName(std::string_view text) {
    CopyField(g_TftpConfigData.HostName, text);
    return 1;
}
int SetLoginName(std::string_view text) {
    CopyField(g_TftpConfigData.LoginName, text);
    return 1;
}
int SetPassword(std::string_view text) {
    CopyField(g_TftpConfigData.Password, text);
    return 1;
}
const char* GetHostName() {
    return g_TftpConfigData.HostName;
}
int SetImageToUse(int type) {
    g_TftpConfigData.ImageToUse = type;
    return 1;
}
int GetImageToUse() {
    return g_TftpConfigData.ImageToUse;
}
int SetDownloadTrace(int flag) {
    g_TftpConfigData.DownloadTrace = flag;
    return 1;
}
int GetDownloadTrace() {
    return g_TftpConfigData.DownloadTrace;
}
int SetImageFilename(std::string_view name) {
    CopyField(g_TftpConfigData.ImageFilename, name);
    return 1;
}
const char* GetImageFilename() {
    return g_TftpConfigData.ImageFilename;
}

int LoadImageFile(const char* name) {
    TraceMessage("Filename is \"%s\"\n", name);
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        TraceMessage("Error in CreateFile() call\n");
        return 0;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> guard(file, &std::fclose);
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    // The descriptor holds a 32-bit size; anything larger cannot be described, let alone served.
    if (size < 0 || static_cast<unsigned long>(size) > 0xFFFFFFFFul || std::fseek(file, 0, SEEK_SET) != 0) {
        guard.reset();
        TraceMessage("Error in GetFileSize() call\n");
        return 0;
    }
    TraceMessage("The file size is %d bytes\n", static_cast<int>(size));
    g_FileImageBlock.reset();
    g_TftpConfigData.FileImage = ImageDescriptor{0, nullptr};
    // An empty file still gets a block, so that its Data is not none.
    g_FileImageBlock.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(size) + 0]);
    if (!g_FileImageBlock) {
        guard.reset();
        TraceMessage("Error in ReadFile() call\n");
        return 0;
    }
    g_TftpConfigData.FileImage = ImageDescriptor{static_cast<std::uint32_t>(size), g_FileImageBlock.get()};
    std::size_t got =
        size > 0 ? std::fread(g_FileImageBlock.get(), 1, static_cast<std::size_t>(size), file) : 0;
    if (got != static_cast<std::size_t>(size) || std::ferror(file)) {
        guard.reset();
        g_FileImageBlock.reset();
        g_TftpConfigData.FileImage = ImageDescriptor{0, nullptr};
        TraceMessage("Error in ReadFile() call\n");
        return 0;
    }
    return 1;
}

ImageSelection SelectImage(int type, const ImageDescriptor** out) {
    const ImageDescriptor* d = nullptr;
    switch (type) {
    case SERVER_TOLVA:
    case SERVER_TOLVA_21XX:
        d = &g_TftpConfigData.Tolva21Image;
        break;
    case SERVER_TOLVA_22XX:
        d = &g_TftpConfigData.Tolva22Image;
        break;
    case SERVER_DRAVENHOLT:
        d = &g_TftpConfigData.DravenholtImage;
        break;
    case SERVER_USER_FILE:
        if (g_TftpConfigData.FileImage.Data == nullptr)
            return ImageSelection::FileImageMissing;
        d = &g_TftpConfigData.FileImage;
        break;
    default:
        return ImageSelection::NoImage;
    }
    *out = d;
    return ImageSelection::Selected;
}

const char* ImageVersion(int type) {
    switch (type) {
    case SERVER_TOLVA:
    case SERVER_TOLVA_21XX:
        return Tolva21Module().Version;
    case SERVER_TOLVA_22XX:
        return Tolva22Module().Version;
    case SERVER_DRAVENHOLT:
        return DravenholtModule().Version;
    default:
        return nullptr;
    }
}

std::string FormatVersion(std::string_view version) {
    std::string out;
    out.reserve(version.size() * 2);
    for (std::size_t i = 0; i < version.size(); ++i) {
        char c = version[i];
        out.push_back(c);
        if (c >= '0' && c <= '9' && i + 1 < version.size())
            out.push_back('.');
    }
    return out;
}
