// The checks every request passes before it reaches the console: the Host header, the
// access token (a header on every data and action request) and the origin.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace console {

// A new random token of 128 bits as 32 hex digits.
std::string NewAccessToken();

// The token kept in `path` (a 0600 file of the program directory), so that the console's
// address and a bookmark of it outlive a restart. A new token replaces it when `renew` is
// set or when the file is missing, malformed, not a plain file of this user, or readable by
// others. `*kept` tells whether the token could be stored for the next start.
std::string KeptAccessToken(const std::string& path, bool renew, bool* kept);

// Compares without an early exit, so the time taken tells nothing about the token.
bool SameToken(std::string_view a, std::string_view b);

// The Host header must name the listening address exactly: "<listen>:<port>", or, on the
// loopback address, "localhost:<port>" or "[::1]:<port>".
bool HostAllowed(std::string_view hostHeader, const std::string& listenHost, int port);

// The value of one cookie in a Cookie header ("" when absent).
std::string CookieValue(std::string_view cookieHeader, std::string_view name);

// Origin of an API request: absent, or exactly "http://" (with TLS "https://") + the Host header.
bool OriginAllowed(std::string_view origin, std::string_view hostHeader, bool tls = false);

// Sec-Fetch-Site, when the browser sends it: a request started by another site is refused.
bool FetchSiteAllowed(std::string_view fetchSite);

// True for 127.0.0.0/8 and ::1, written as numeric addresses.
bool IsLoopbackAddress(const std::string& host);

// Nesting allowed in JSON from the page.
constexpr int kJsonDepthLimit = 32;

// Parses JSON from the page. Anything malformed or nested deeper than kJsonDepthLimit gives
// a discarded value (is_discarded()); the depth is checked before parsing, so no input can
// make the parser or the value's destruction recurse deeply.
nlohmann::json ParsePageJson(std::string_view text);

}  // namespace console
