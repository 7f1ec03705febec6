// The texts of the simulated device's web server: reading a request, Basic credentials,
// the query of the upgrade command, the Date header, and JSON escaping for the report.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devsim {

struct HttpRequest {
    std::string method;
    std::string target;                                       // as sent, query included
    std::string path;                                         // before '?'
    std::string query;                                        // after '?', without it
    std::string version;                                      // "HTTP/1.0"
    std::vector<std::pair<std::string, std::string>> headers; // names lower-cased, values trimmed
    std::optional<std::string> Header(std::string_view lowerName) const;
};

// Where the request's head ends (just past the empty line, CR LF or a bare LF), or npos.
std::size_t HeadEnd(std::string_view bytes);

// The request line and headers. Nothing when the request line is not "METHOD TARGET VERSION".
std::optional<HttpRequest> ParseRequest(std::string_view head);

// RFC 4648 Base64 with padding. Nothing for any other character or a wrong length.
std::optional<std::string> DecodeBase64(std::string_view text);

// The "login:password" of an "Authorization: Basic ..." value; nothing for any other scheme.
std::optional<std::string> BasicCredentials(std::string_view authorization);

// The value of one query parameter (percent-decoded, '+' left as is); nothing if absent.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name);

// RFC 7231 IMF-fixdate of the current time: "Tue, 08 Dec 2026 05:37:11 GMT".
std::string HttpDate();

// The bytes of a request with the token of any Authorization line replaced by "[credentials]".
std::string RedactCredentials(std::string_view bytes);

} // namespace devsim
