// Which devices of a batch to upgrade, by comparing the device's firmware version with the
// image's. Versions compare by their numeric groups ("1.0.10" is newer than "1.0.9"); a letter
// right after a group's digits counts after that number ("1.0.9a" is newer than "1.0.9" and older
// than "1.0.10"). A version without a digit ("Not-Known") cannot be compared.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct VersionGroup {
    unsigned long number = 0;
    std::string suffix; // letters right after the digits
    auto operator<=>(const VersionGroup&) const = default;
};

// The groups of a version, split at '.', '-' or '_'; nothing when a group has no leading digits
// or the text has none at all.
std::optional<std::vector<VersionGroup>> ParseVersion(std::string_view text);

enum class VersionOrder { Older, Same, Newer, Unreadable };

// Where `device` stands against `image`: Older means the device is behind the image. Missing
// trailing groups count as 0 ("1.0" is "1.0.0").
VersionOrder CompareVersions(std::string_view device, std::string_view image);

struct VersionPolicy {
    bool allowOlder = false;     // flash an image older than the device's firmware
    bool allowReinstall = false; // flash a device that is already at the image's version, or
                                 // whose version cannot be read
    bool force = false;          // with a user's image file: flash whatever the device reports
};

enum class PolicyDecision {
    Upgrade,          // the device is behind the image, or the policy allows the flash
    UpToDate,         // already at the image's version: nothing is sent, and that is a success
    RefusedNewer,     // the device is ahead of the image: --allow-older is needed
    RefusedUnreadable // the device's version cannot be read: --allow-reinstall (or, with a
                      // user's image, --force) is needed
};

// The decision for one device. `imageVersion` is empty for a user's image file, whose version is
// unknown: the device is then upgraded whatever it runs, as long as it says what it runs (or
// --force is given).
PolicyDecision DecideUpgrade(std::string_view deviceVersion, std::string_view imageVersion,
                             const VersionPolicy& policy);
// "upgrade", "up-to-date", "refused-newer", "refused-unreadable".
const char* PolicyDecisionName(PolicyDecision decision);
