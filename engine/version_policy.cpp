#include "engine/version_policy.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

bool IsSeparator(char c) {
    return c == '.' || c == '-' || c == '_';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<std::vector<VersionGroup>> ParseVersion(std::string_view text) {
    std::vector<VersionGroup> groups;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = at;
        while (end < text.size() && !IsSeparator(text[end]))
            ++end;
        const std::string_view part = text.substr(at, end - at);
        std::size_t digits = 0;
        while (digits < part.size() && IsDigit(part[digits]))
            ++digits;
        if (digits == 0)
            return std::nullopt;
        VersionGroup group;
        auto [ptr, ec] = std::from_chars(part.data(), part.data() + digits, group.number);
        if (ec != std::errc() || ptr != part.data() + digits)
            return std::nullopt;
        for (char c : part.substr(digits)) {
            if (!std::isalpha(static_cast<unsigned char>(c)))
                return std::nullopt;
            group.suffix.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
        groups.push_back(std::move(group));
        if (end == text.size())
            break;
        at = end + 1;
    }
    if (groups.empty())
        return std::nullopt;
    return groups;
}

VersionOrder CompareVersions(std::string_view device, std::string_view image) {
    std::optional<std::vector<VersionGroup>> a = ParseVersion(device);
    std::optional<std::vector<VersionGroup>> b = ParseVersion(image);
    if (!a || !b)
        return VersionOrder::Unreadable;
    const std::size_t n = std::max(a->size(), b->size());
    a->resize(n);
    b->resize(n);
    const auto order = *a <=> *b;
    if (order < 0)
        return VersionOrder::Older;
    return order > 0 ? VersionOrder::Newer : VersionOrder::Same;
}

PolicyDecision DecideUpgrade(std::string_view deviceVersion, std::string_view imageVersion,
                             const VersionPolicy& policy) {
    const bool mayFlashUnread = policy.allowReinstall || policy.force;
    if (imageVersion.empty()) {
        // A user's image: no version to compare with, but a device that does not say what it
        // runs may not be the device meant.
        if (!ParseVersion(deviceVersion) && !mayFlashUnread)
            return PolicyDecision::RefusedUnreadable;
        return PolicyDecision::Upgrade;
    }
    switch (CompareVersions(deviceVersion, imageVersion)) {
    case VersionOrder::Older:
        return PolicyDecision::Upgrade;
    case VersionOrder::Same:
        return policy.allowReinstall ? PolicyDecision::Upgrade : PolicyDecision::UpToDate;
    case VersionOrder::Newer:
        return policy.allowOlder ? PolicyDecision::Upgrade : PolicyDecision::RefusedNewer;
    case VersionOrder::Unreadable:
        break;
    }
    return policy.allowReinstall || policy.force ? PolicyDecision::Upgrade
                                                 : PolicyDecision::RefusedUnreadable;
}

const char* PolicyDecisionName(PolicyDecision decision) {
    switch (decision) {
    case PolicyDecision::Upgrade:
        return "upgrade";
    case PolicyDecision::UpToDate:
        return "up-to-date";
    case PolicyDecision::RefusedNewer:
        return "refused-newer";
    case PolicyDecision::RefusedUnreadable:
        return "refused-unreadable";
    }
    return "upgrade";
}
