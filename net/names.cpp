#include "net.h"

#include <cctype>

namespace net {

bool IsReservedInvalidName(std::string_view host) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    constexpr std::string_view kLabel = "invalid";
    if (host.size() < kLabel.size())
        return false;
    const std::string_view tail = host.substr(host.size() - kLabel.size());
    for (std::size_t i = 0; i < kLabel.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(tail[i])) != kLabel[i])
            return false;
    return host.size() == kLabel.size() || host[host.size() - kLabel.size() - 1] == '.';
}

} // namespace net
