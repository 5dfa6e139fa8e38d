// The checks every request passes before it reaches the console: the Host header, the
// access token (cookie, and a header on state-changing requests) and the origin.
#pragma once

#include <string>
#include <string_view>

namespace console {

// A new random token of 128 bits as 32 hex digits.
std::string NewAccessToken();

// Compares without an early exit, so the time taken tells nothing about the token.
bool SameToken(std::string_view a, std::string_view b);

// The Host header must name the listening address exactly: "<listen>:<port>", or, on the
// loopback address, "localhost:<port>" or "[::1]:<port>".
bool HostAllowed(std::string_view hostHeader, const std::string& listenHost, int port);

// The value of one cookie in a Cookie header ("" when absent).
std::string CookieValue(std::string_view cookieHeader, std::string_view name);

// Origin of a state-changing request: absent, or exactly "http://" + the Host header.
bool OriginAllowed(std::string_view origin, std::string_view hostHeader);

// Sec-Fetch-Site, when the browser sends it: a request started by another site is refused.
bool FetchSiteAllowed(std::string_view fetchSite);

}  // namespace console
