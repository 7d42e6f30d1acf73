// The status table of the server's answers, indexed by request_data::status: the only
// names of its rows.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvel {

inline constexpr uint32_t STATUS_OK = 0;
inline constexpr uint32_t STATUS_CREATED = 1;
inline constexpr uint32_t STATUS_ACCEPTED = 2;
inline constexpr uint32_t STATUS_NO_CONTENT = 3;
inline constexpr uint32_t STATUS_RESET_CONTENT = 4;
inline constexpr uint32_t STATUS_BAD_REQUEST = 5;  // 400: a head that contradicts itself
inline constexpr uint32_t STATUS_UNAUTHORIZED = 6; // 401: "..", an unreadable file or directory
inline constexpr uint32_t STATUS_FORBIDDEN = 7;    // 403: an access file was asked for
inline constexpr uint32_t STATUS_METHOD_NOT_ALLOWED = 8;
inline constexpr uint32_t STATUS_NOT_ACCEPTABLE = 9;
inline constexpr uint32_t STATUS_REQUEST_TIMEOUT = 10;
inline constexpr uint32_t STATUS_GONE = 11;
inline constexpr uint32_t STATUS_LENGTH_REQUIRED = 12;
inline constexpr uint32_t STATUS_UNSUPPORTED_MEDIA_TYPE = 13;
inline constexpr uint32_t STATUS_INTERNAL = 14; // 500
inline constexpr uint32_t STATUS_VERSION_NOT_SUPPORTED = 15;
inline constexpr uint32_t STATUS_NOT_FOUND = 16; // 404
// "401 Authorization required": the one status that carries a Basic challenge.
inline constexpr uint32_t STATUS_AUTH_REQUIRED = 17;
inline constexpr uint32_t STATUS_COUNT = 18;

// What follows every status page and closes the document.
inline constexpr std::string_view RESPONSE_FOOTER =
    "<ADDRESS>Server powered by Quorvel version 0.9.0</ADDRESS>\r\n</BODY></HTML>\r\n";

// The text after "HTTP/1.0 " on the status line of `index`, and the page sent for it when the
// request failed (without the footer). An index outside the table reads as 14 (500).
std::string_view status_line(uint32_t index);
std::string_view status_page(uint32_t index);

} // namespace quorvel
