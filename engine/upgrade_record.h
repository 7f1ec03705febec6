// The state of one run: the upgrade record that the dialogs fill and that the HTTP and TFTP code
// read, the built-in images, the loaded image file, and the choice of the image to serve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum ServerType : int {
    SERVER_UNKNOWN = 0,
    SERVER_TOLVA = 1,
    SERVER_DRAVENHOLT = 2,
    SERVER_TOLVA_21XX = 3,
    SERVER_TOLVA_22XX = 4,
    SERVER_USER_FILE = 5,
};

// One servable image. Does not own built-in data; FileImage's Data is owned by the record.
struct ImageDescriptor {
    std::uint32_t Size;
    const unsigned char* Data;
};

// Capacities count the terminating NUL.
inline constexpr std::size_t kHostNameSize = 128;
inline constexpr std::size_t kLoginNameSize = 80;
inline constexpr std::size_t kPasswordSize = 80;
inline constexpr std::size_t kImageFilenameSize = 260;

struct TftpConfigData {
    char HostName[kHostNameSize];
    char LoginName[kLoginNameSize];
    char Password[kPasswordSize];
    int DownloadTrace;
    ImageDescriptor Tolva21Image;
    ImageDescriptor Tolva22Image;
    ImageDescriptor DravenholtImage;
    ImageDescriptor FileImage;
    int ImageToUse;
    char ImageFilename[kImageFilenameSize];
};

extern TftpConfigData g_TftpConfigData;

// The descriptor chosen for the current read request; written by CheckFilename on the worker
// thread, read by ReadImageBlock. Null until the first request.
extern const ImageDescriptor* SelectedImage;

inline constexpr char kDefaultLogin[] = "root";
inline constexpr char kDefaultPassword[] = "marlin";

// Each copies at most the field's capacity less one and always terminates; returns 1.
int SetHostName(std::string_view text);
int SetLoginName(std::string_view text);
int SetPassword(std::string_view text);
const char* GetHostName();
int SetImageToUse(int type);
int GetImageToUse();
int SetDownloadTrace(int flag);
int GetDownloadTrace();
int SetImageFilename(std::string_view name);
const char* GetImageFilename();

// Reads the named file whole into FileImage. 1 on success, 0 on failure (traced).
int LoadImageFile(const char* name);

enum class ImageSelection { Selected, FileImageMissing, NoImage };

// The descriptor that a ServerType names. `out` is set only when the result is Selected.
ImageSelection SelectImage(int type, const ImageDescriptor** out);

// The version text of the built-in image that the type selects, or null for types that select
// no built-in image.
const char* ImageVersion(int type);

// "109" -> "1.0.9": every decimal digit but the last character is followed by ".".
std::string FormatVersion(std::string_view version);

// Restores the record to its state at program start (built-in images in, nothing else). For
// tests and for a front end that runs several upgrades in one process.
void ResetUpgradeRecord();
