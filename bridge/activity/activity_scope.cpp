#include "bridge/activity/activity_scope.h"

namespace palisor {

namespace {
thread_local ActivityRecord* currentRecord = nullptr;
}  // namespace

ActivityScope::ActivityScope(ActivityRecord& record) : outer_(currentRecord) { currentRecord = &record; }

ActivityScope::~ActivityScope() { currentRecord = outer_; }

ActivityRecord* ActivityScope::current() { return currentRecord; }

void ActivityScope::exchangeBegins(const std::optional<std::string>& traceId, const std::optional<std::string>& spanId,
                                   const std::optional<std::string>& parentSpanId,
                                   const std::optional<std::string>& causalId) {
    ActivityRecord* record = currentRecord;
    if (!record) return;
    record->status.reset();
    if (!traceId && !spanId && !causalId) return;
    record->traceId = traceId.value_or("");
    record->spanId = spanId.value_or("");
    record->parentSpanId = parentSpanId.value_or("");
    record->causalId = causalId.value_or("");
}

void ActivityScope::exchangeAnswered(int status) {
    if (currentRecord) currentRecord->status = status;
}

ActivityAside::ActivityAside() : outer_(currentRecord) { currentRecord = nullptr; }

ActivityAside::~ActivityAside() { currentRecord = outer_; }

}  // namespace palisor
