// The status table: the status line and the page of every answer the server gives by
// number.
#include "http/status.h"

#include <iterator>

namespace quorvel {

namespace {

struct status_row {
    std::string_view line;
    std::string_view page;
};

constexpr status_row status_table[] = {
    {"200 OK", "<HTML><BODY>200 OK"},
    {"201 Created", "<HTML><BODY>201 Created"},
    {"202 Accepted", "<HTML><BODY>202 Accepted"},
    {"204 No Content", "<HTML><BODY>204 No Content"},
    {"205 Reset Content", "<HTML><BODY>205 Reset Content"},
    {"400 Bad Request", "<HTML><HEAD>\r\n"
                        "<TITLE>400 Bad Request</TITLE>\r\n"
                        "</HEAD><BODY>\r\n"
                        "<H1>Bad request</H1>\r\n"
                        "The server does not understand your request.\r\n"
                        "<P>\r\n"
                        "<HR>\r\n"},
    {"401 Unauthorized", "<HTML><HEAD>\r\n"
                         "<TITLE>401 Unauthorized</TITLE>\r\n"
                         "</HEAD><BODY>\r\n"
                         "<H1>Unauthorized</H1>\r\n"
                         "Your request has been refused.\r\n"
                         "<P>\r\n"
                         "<HR>\r\n"},
    {"403 Forbidden", "<HTML><HEAD>\r\n"
                      "<TITLE>403 Forbidden</TITLE>\r\n"
                      "</HEAD><BODY>\r\n"
                      "<H1>Forbidden</H1>\r\n"
                      "Your request will not be fulfilled.\r\n"
                      "To prevent your IP address from being blocked\r\n"
                      "on this server, do not make this request again.\r\n"
                      "<P>\r\n"
                      "<HR>\r\n"},
    {"405 Method Not Allowed", "<HTML><HEAD>\r\n"
                               "<TITLE>405 Method Not Allowed</TITLE>\r\n"
                               "</HEAD><BODY>\r\n"
                               "<H1>Method not allowed</H1>\r\n"
                               "The method used to request the\r\n"
                               "resource is not allowed.\r\n"
                               "<P>\r\n"
                               "<HR>\r\n"},
    {"406 Not Acceptable", "<HTML><BODY>406 Not Acceptable"},
    {"408 Request Timeout", "<HTML><BODY>408 Request Timeout"},
    {"410 Gone", "<HTML><HEAD>\r\n"
                 "<TITLE>410 Gone</TITLE>\r\n"
                 "</HEAD><BODY>\r\n"
                 "<H1>Resource no longer available</H1>\r\n"
                 "The requested resource no longer exists,\r\n"
                 "on this server it has been relocated or\r\n"
                 "removed.\r\n"
                 "<P>\r\n"
                 "<HR>\r\n"},
    {"411 Length Required", "<HTML><HEAD>\r\n"
                            "<TITLE>411 Length Required</TITLE>\r\n"
                            "</HEAD><BODY>\r\n"
                            "<H1>Message length required</H1>\r\n"
                            "The server has refused to service your request\r\n"
                            "because the request has no Content-Length.\r\n"
                            "<P>\r\n"
                            "<HR>\r\n"},
    {"415 Unsupported Media Type", "<HTML><HEAD>\r\n"
                                   "<TITLE>415 Unsupported media type</TITLE>\r\n"
                                   "</HEAD><BODY>\r\n"
                                   "<H1>Unsupported Media Type</H1>\r\n"
                                   "The server has refused to service your request\r\n"
                                   "because the entity that you requested is not\r\n"
                                   "supported.\r\n"
                                   "<P>\r\n"
                                   "<HR>\r\n"},
    {"500 Internal Server Error", "<HTML><HEAD>\r\n"
                                  "<TITLE>500 Internal Server Error</TITLE>\r\n"
                                  "</HEAD><BODY>\r\n"
                                  "<H1>Internal Server Error</H1>\r\n"
                                  "The server has encountered an unexpected\r\n"
                                  "condition, which prevents it from fulfilling\r\n"
                                  "your request.\r\n"
                                  "<P>\r\n"
                                  "<HR>\r\n"},
    {"505 HTTP Version Not Supported", "<HTML><HEAD>\r\n"
                                       "<TITLE>505 Version Not Supported</TITLE>\r\n"
                                       "</HEAD><BODY>\r\n"
                                       "<H1>Version not supported</H1>\r\n"
                                       "The server does not support the HTTP protocol\r\n"
                                       "version that was used in the request message.\r\n"
                                       "<P>\r\n"
                                       "<HR>\r\n"},
    {"404 File not found", "<HTML><HEAD>\r\n"
                           "<TITLE>404 File not found</TITLE>\r\n"
                           "</HEAD><BODY>\r\n"
                           "<H1>File not found</H1>\r\n"
                           "The directory or document that you have\r\n"
                           "requested does not exist.\r\n"
                           "<P>\r\n"
                           "<HR>\r\n"},
    {"401 Authorization required", "<HTML><HEAD>\r\n"
                                   "<TITLE>401 Authorization Required</TITLE>\r\n"
                                   "</HEAD><BODY>\r\n"
                                   "<H1>Authorization Required</H1>\r\n"
                                   "This server could not authenticate you.\r\n"
                                   "Either you entered the wrong credentials\r\n"
                                   "(the wrong password or user name), or your\r\n"
                                   "browser does not understand how to provide the\r\n"
                                   "credentials necessary to access the requested.\r\n"
                                   "document<P>\r\n"
                                   "<HR>\r\n"},
};
static_assert(std::size(status_table) == STATUS_COUNT);

} // namespace

std::string_view status_line(uint32_t index)
{
    return status_table[index < STATUS_COUNT ? index : STATUS_INTERNAL].line;
}

std::string_view status_page(uint32_t index)
{
    return status_table[index < STATUS_COUNT ? index : STATUS_INTERNAL].page;
}

} // namespace quorvel
