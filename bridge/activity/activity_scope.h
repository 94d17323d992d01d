#pragma once

#include <optional>
#include <string>

#include "bridge/activity/activity_log.h"

namespace palisor {

// The record of the tool call running on this thread, for the layers under
// the endpoint to fill in as they learn what the call is: the workspace once
// resolved, the operation once rendered, the authority's answer. Calls run on
// one thread from start to end, so the record needs no lock.
class ActivityScope {
public:
    explicit ActivityScope(ActivityRecord& record);
    ~ActivityScope();
    ActivityScope(const ActivityScope&) = delete;
    ActivityScope& operator=(const ActivityScope&) = delete;

    // The record being filled on this thread; null when no call is being
    // recorded, or while the call does the bridge's own errands (ActivityAside).
    static ActivityRecord* current();

    // An exchange with the authority begins: the call's status is the answer
    // to its last exchange, so the one before is forgotten, and the trace
    // identifiers it sends (when it sends any) are the call's.
    static void exchangeBegins(const std::optional<std::string>& traceId, const std::optional<std::string>& spanId,
                               const std::optional<std::string>& parentSpanId,
                               const std::optional<std::string>& causalId);
    static void exchangeAnswered(int status);

private:
    ActivityRecord* outer_;
};

// Exchanges made inside are the bridge's own (its start and end events, the
// spool's flush, skill packages fetched on the side), not the call's answer.
class ActivityAside {
public:
    ActivityAside();
    ~ActivityAside();
    ActivityAside(const ActivityAside&) = delete;
    ActivityAside& operator=(const ActivityAside&) = delete;

private:
    ActivityRecord* outer_;
};

}  // namespace palisor
