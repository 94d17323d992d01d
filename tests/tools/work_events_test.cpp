// Work events end to end: delivery, the spool when delivery fails, flushes.
// What the spool file holds, scrubbed, is the spool's to test.
#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "bridge/common/atomic_file.h"
#include "tests/tools/tools_fixture.h"

namespace palisor {
namespace {

using namespace std::chrono_literals;

class WorkEvents : public test::ToolsFixture {
protected:
    std::string eventsPath() const { return std::string("/api/projects/") + kProject + "/ai-work-events"; }
    JsonValue log(const std::string& key, JsonValue extra = JsonValue::object()) {
        return callTool("authority_log_work_event", {{"event", test::workEvent(key, std::move(extra))}});
    }
    JsonValue spool() { return JsonValue::parse(readFileIfExists(spoolFile()).value_or("{}")); }
    std::vector<std::string> deliveredKeys() {
        std::vector<std::string> keys;
        for (const JsonValue& event : authority.workEvents(kProject)) keys.push_back(event.value("idempotencyKey", ""));
        return keys;
    }
};

TEST_F(WorkEvents, DeliveredQueuedFlushedInOrderAndRejected) {
    login();
    JsonValue answer = toolValue(log("event-0001", {{"component", "validator"}, {"prompt", "kept as sent"}}));
    EXPECT_EQ(answer["bridgeWorkEventSpool"],
              JsonValue({{"pendingCount", 0}, {"droppedCount", 0}, {"flushedBefore", 0}}));
    test::expectFields(authority.workEvents(kProject).at(0),
                       {{"component", "ai-node"}, {"summary", "Chọn cách sửa lỗi"}, {"prompt", "kept as sent"}});
    auto seen = authority.requests("POST", eventsPath());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().header("x-palisor-source-component"), "");  // "ai-node" is not a component header value
    EXPECT_EQ(callTool("authority_log_work_event", JsonValue::object())["error"]["message"], "EVENT_REQUIRED");

    // A flush before each send retries the queued ones first and stops at the
    // first transient failure, so every later event meets two failures.
    int times = 1;
    for (int status : {503, 429, 408}) {
        authority.failNext("POST", eventsPath(), status, {{"code", "BUSY"}, {"message", "busy"}}, times);
        times = 2;
        test::expectFields(toolValue(log("queued-" + std::to_string(status))),
                           {{"code", "AI_WORK_EVENT_QUEUED_FOR_RETRY"},
                            {"queued", true},
                            {"recorded", false},
                            {"authorityErrorCode", "BUSY"}});
    }
    ASSERT_EQ(spool()["entries"].size(), 3u);
    EXPECT_EQ(spool()["entries"][0]["event"]["component"], "ai-node");
    EXPECT_EQ(toolValue(log("fourth-0001"))["bridgeWorkEventSpool"],
              JsonValue({{"pendingCount", 0}, {"droppedCount", 0}, {"flushedBefore", 3}}));

    // Rejections are reported, not queued.
    for (int status : {422, 409, 400}) {
        authority.failNext("POST", eventsPath(), status, {{"code", "REJECTED"}, {"message", "rejected"}});
        JsonValue answer = log("rejected-" + std::to_string(status));
        EXPECT_EQ(answer["error"]["code"], -32000) << status;
        EXPECT_EQ(answer["error"]["data"]["statusCode"], status);
    }
    EXPECT_TRUE(spool()["entries"].empty());
    EXPECT_EQ(deliveredKeys(),
              (std::vector<std::string>{"event-0001", "queued-503", "queued-429", "queued-408", "fourth-0001"}));
}

TEST_F(WorkEvents, QueuedRejectsAreDroppedAndAFailingFlushKeepsTheRest) {
    login();
    // Two queued; the first is now rejected for good, the second still goes.
    authority.failNext("POST", eventsPath(), 503, {{"code", "DOWN"}, {"message", "down"}}, 3);
    log("first-queued");
    log("second-queued");
    authority.failNext("POST", eventsPath(), 422, {{"code", "BAD_EVENT"}, {"message", "bad"}});
    JsonValue answer = toolValue(log("third-direct"));
    EXPECT_EQ(answer["bridgeWorkEventSpool"]["flushedBefore"], 1);
    EXPECT_EQ(deliveredKeys(), (std::vector<std::string>{"second-queued", "third-direct"}));
    EXPECT_EQ(spool()["entries"].size(), 0u);

    // A 503 during a flush stops it and keeps the rest in order.
    authority.failNext("POST", eventsPath(), 503, {{"code", "DOWN"}, {"message", "down"}}, 3);
    log("later-one");
    log("later-two");
    authority.failNext("POST", eventsPath(), 503, {{"code", "DOWN"}, {"message", "down"}}, 2);
    JsonValue deferred = router->flushAiWorkEventSpoolBestEffort(registry->resolve(JsonValue::object()));
    test::expectFields(deferred, {{"flushed", 0}, {"deferred", true}, {"pendingCount", 2}});
}

TEST_F(WorkEvents, AnUnreachableAuthorityQueues) {
    login();
    authority.stop();
    EXPECT_EQ(toolValue(log("offline-0001"))["code"], "AI_WORK_EVENT_QUEUED_FOR_RETRY");
}

TEST_F(WorkEvents, ConcurrentEventsWhileTheAuthorityFlapsLoseNothing) {
    login();
    constexpr int kEvents = 32;
    std::atomic<bool> flapping{true};
    std::thread flapper([&] {
        while (flapping) {
            authority.failNext("POST", eventsPath(), 503, {{"code", "FLAP"}, {"message", "flap"}}, 3);
            std::this_thread::sleep_for(5ms);
        }
    });
    std::vector<std::thread> clients;
    std::atomic<int> failed{0};  // neither delivered nor queued
    for (int i = 0; i < kEvents; ++i)
        clients.emplace_back([&, i] {
            if (!log("flap-" + std::to_string(1000 + i)).contains("result")) ++failed;
        });
    for (auto& client : clients) client.join();
    flapping = false;
    flapper.join();
    authority.clearHooks();
    EXPECT_EQ(failed.load(), 0);

    // Whatever was queued goes out with the next flushes; nothing is lost.
    router->flushAiWorkEventSpoolBestEffort(registry->resolve(JsonValue::object()));
    router->flushAiWorkEventSpoolBestEffort(registry->resolve(JsonValue::object()));
    std::set<std::string> keys;
    for (const std::string& key : deliveredKeys()) keys.insert(key);
    for (int i = 0; i < kEvents; ++i) EXPECT_TRUE(keys.count("flap-" + std::to_string(1000 + i))) << i;
}

}  // namespace
}  // namespace palisor
