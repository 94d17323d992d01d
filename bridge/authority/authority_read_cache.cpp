#include "bridge/authority/authority_read_cache.h"

namespace palisor {

AuthorityHTTPResponse AuthorityConditionalReadCache::load(const AuthorityRequest& request,
                                                          const AuthorityHeaderTask& headerTask) {
    return headerTask(request);
}

void AuthorityConditionalReadCache::learn(const JsonValue&) {}

void AuthorityConditionalReadCache::clear() {}

bool AuthorityConditionalReadCache::supportsCompactReads() const { return false; }

std::map<std::string, std::int64_t> AuthorityConditionalReadCache::stats() const { return {}; }

}  // namespace palisor
