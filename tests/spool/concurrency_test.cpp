// Many request threads share the router's one spool.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/common/atomic_file.h"
#include "bridge/spool/ai_work_event_spool.h"
#include "tests/support/temp_dir.h"

namespace palisor {
namespace {

JsonValue event(const std::string& key) {
    return {{"idempotencyKey", key},
            {"kind", "work"},
            {"eventType", "task.progress"},
            {"outcome", "succeeded"},
            {"summary", "bước " + key}};
}

TEST(SpoolConcurrency, ParallelEnqueuesLoseNothingAndTheFileAlwaysParses) {
    test::TempDir dir;
    const int kThreads = 16;
    const int kPerThread = 10;
    const int kWorkspaces = 3;
    std::vector<std::string> roots;
    for (int w = 0; w < kWorkspaces; ++w) roots.push_back(dir.path() + "/ws" + std::to_string(w));
    // Room for everything, so any missing entry is a lost write, not a drop.
    AiWorkEventSpool spool(kThreads * kPerThread, 20);

    // A reader that looks at the files as another program would, all along.
    std::atomic<bool> done{false};
    std::atomic<int> unreadable{0};
    std::atomic<int> looks{0};
    std::thread reader([&] {
        while (!done) {
            for (const std::string& root : roots) {
                auto bytes = readFileIfExists(AiWorkEventSpool::spoolUrl(root));
                if (!bytes) continue;
                ++looks;
                auto parsed = parseJson(*bytes);
                if (!parsed || !parsed->is_object()) ++unreadable;
            }
            std::this_thread::yield();
        }
    });

    std::atomic<int> failures{0};  // errors, and new events taken for duplicates or the reverse
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                // Half the threads share the first workspace; the rest spread out.
                const std::string& root = t % 2 == 0 ? roots[0] : roots[1 + (i % (kWorkspaces - 1))];
                std::string key = "t" + std::to_string(t) + "-event-" + std::to_string(i);
                try {
                    if (spool.enqueue(root, "PRJ", event(key))["duplicate"] != false) ++failures;
                    // Re-sending the same event, as a retrying agent would.
                    if (i % 5 == 0 && spool.enqueue(root, "PRJ", event(key))["duplicate"] != true) ++failures;
                    spool.snapshot(root, "PRJ");
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    done = true;
    reader.join();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(unreadable, 0);
    EXPECT_GT(looks, 0);

    std::set<std::string> seen;
    for (const std::string& root : roots) {
        auto parsed = parseJson(readFileIfExists(AiWorkEventSpool::spoolUrl(root)).value_or(""));
        ASSERT_TRUE(parsed.has_value()) << root;
        EXPECT_EQ((*parsed)["droppedCount"], 0);
        for (const JsonValue& entry : (*parsed)["entries"])
            EXPECT_TRUE(seen.insert(entry["idempotencyKey"].get<std::string>()).second) << entry;
        EXPECT_EQ(spool.snapshot(root, "PRJ")["pendingCount"], (*parsed)["entries"].size());
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));

    // Draining concurrently: every entry acknowledged exactly once.
    std::atomic<int> removed{0};
    std::vector<std::thread> drainers;
    for (int t = 0; t < kThreads; ++t) {
        drainers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string& root = t % 2 == 0 ? roots[0] : roots[1 + (i % (kWorkspaces - 1))];
                std::string key = "t" + std::to_string(t) + "-event-" + std::to_string(i);
                if (spool.acknowledge(root, "PRJ", key)["removed"] == true) ++removed;
            }
        });
    }
    for (std::thread& drainer : drainers) drainer.join();
    EXPECT_EQ(removed, kThreads * kPerThread);
    for (const std::string& root : roots) EXPECT_EQ(spool.snapshot(root, "PRJ")["pendingCount"], 0);
}

}  // namespace
}  // namespace palisor
