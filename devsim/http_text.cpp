#include "devsim/http_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace devsim {
namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

} // namespace

std::optional<std::string> HttpRequest::Header(std::string_view lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName)
            return value;
    return std::nullopt;
}

std::size_t HeadEnd(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n')
            continue;
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
            return i + 2;
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n')
            return i + 3;
    }
    return std::string_view::npos;
}

std::optional<HttpRequest> ParseRequest(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        std::size_t nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos)
            break;
        head.remove_prefix(nl + 1);
    }
    if (lines.empty())
        return std::nullopt;
    HttpRequest r;
    std::string_view first = lines[0];
    std::size_t a = first.find(' ');
    if (a == std::string_view::npos)
        return std::nullopt;
    std::size_t b = first.find(' ', a + 1);
    if (b == std::string_view::npos || first.find(' ', b + 1) != std::string_view::npos)
        return std::nullopt;
    r.method = std::string(first.substr(0, a));
    r.target = std::string(first.substr(a + 1, b - a - 1));
    r.version = std::string(first.substr(b + 1));
    if (r.method.empty() || r.target.empty() || r.version.rfind("HTTP/", 0) != 0)
        return std::nullopt;
    std::size_t q = r.target.find('?');
    r.path = r.target.substr(0, q);
    if (q != std::string::npos)
        r.query = r.target.substr(q + 1);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::size_t colon = lines[i].find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue;
        r.headers.emplace_back(Lower(Trim(lines[i].substr(0, colon))),
                               std::string(Trim(lines[i].substr(colon + 1))));
    }
    return r;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + static_cast<std::size_t>(k)];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0)
                return std::nullopt; // data after padding
            v[k] = value(c);
            if (v[k] < 0)
                return std::nullopt;
        }
        unsigned n = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
        out.push_back(static_cast<char>((n >> 16) & 0xFF));
        if (pad < 2)
            out.push_back(static_cast<char>((n >> 8) & 0xFF));
        if (pad < 1)
            out.push_back(static_cast<char>(n & 0xFF));
    }
    return out;
}

std::optional<std::string> BasicCredentials(std::string_view authorization) {
    authorization = Trim(authorization);
    std::size_t sp = authorization.find(' ');
    if (sp == std::string_view::npos || Lower(authorization.substr(0, sp)) != "basic")
        return std::nullopt;
    return DecodeBase64(Trim(authorization.substr(sp + 1)));
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view part = query.substr(0, amp);
        std::size_t eq = part.find('=');
        std::string key = PercentDecode(part.substr(0, eq));
        if (key == name)
            return eq == std::string_view::npos ? std::string() : PercentDecode(part.substr(eq + 1));
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string HttpDate() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &now);
#else
    gmtime_r(&now, &tm);
#endif
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7], tm.tm_mday,
                  kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string RedactCredentials(std::string_view bytes) {
    std::string out;
    while (!bytes.empty()) {
        std::size_t nl = bytes.find('\n');
        std::string_view line = bytes.substr(0, nl == std::string_view::npos ? bytes.size() : nl + 1);
        bytes.remove_prefix(line.size());
        static constexpr std::string_view kName = "authorization:";
        if (line.size() >= kName.size() && Lower(line.substr(0, kName.size())) == kName) {
            std::string_view rest = line.substr(kName.size());
            std::size_t start = rest.find_first_not_of(" \t");
            std::size_t schemeEnd =
                start == std::string_view::npos ? std::string_view::npos : rest.find(' ', start);
            std::size_t keep = kName.size() + (schemeEnd == std::string_view::npos ? 0 : schemeEnd + 1);
            std::string_view ending = line.substr(line.find_last_not_of("\r\n") + 1);
            out.append(line.substr(0, keep));
            out.append(schemeEnd == std::string_view::npos ? " [credentials]" : "[credentials]");
            out.append(ending);
            continue;
        }
        out.append(line);
    }
    return out;
}

} // namespace devsim
