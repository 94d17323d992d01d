#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/common/json.h"

namespace palisor::test {

// A raw HTTP exchange with a server on 127.0.0.1, written piece by piece so
// that tests control how a request arrives.
struct RawExchange {
    std::vector<std::string> pieces;                 // sent in order
    std::chrono::milliseconds pauseBetween{30};      // between pieces
    std::chrono::milliseconds readTimeout{10000};    // for the whole answer
};

// Sends the pieces, then reads until the server closes. The answer is empty
// when the server closed without writing anything.
std::string httpExchange(std::uint16_t port, const RawExchange& request);
std::string httpExchange(std::uint16_t port, const std::string& request);

// POST of a body with a correct Content-Length.
std::string post(std::uint16_t port, const std::string& path, const std::string& body);
std::string get(std::uint16_t port, const std::string& path);

struct ParsedResponse {
    int status = 0;
    std::string statusLine;
    std::string head;
    std::string body;
    JsonValue json;  // discarded value when the body is not JSON
};
ParsedResponse parseResponse(const std::string& raw);

// A port on 127.0.0.1 that was free a moment ago.
std::uint16_t freePort();

// Connected client socket, or -1.
int connectTo(std::uint16_t port);

}  // namespace palisor::test
