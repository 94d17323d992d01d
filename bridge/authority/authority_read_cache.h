#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "bridge/authority/authority_http.h"
#include "bridge/common/json.h"

namespace palisor {

// Every authority request passes through here. This one stores nothing:
// `load` runs the exchange, `learn` and `clear` have nothing to keep or drop.
// The conditional cache with its single flight takes its place behind the
// same four calls.
class AuthorityConditionalReadCache {
public:
    AuthorityHTTPResponse load(const AuthorityRequest& request, const AuthorityHeaderTask& headerTask);
    void learn(const JsonValue& decodedBody);
    void clear();
    bool supportsCompactReads() const;
    std::map<std::string, std::int64_t> stats() const;
};

}  // namespace palisor
