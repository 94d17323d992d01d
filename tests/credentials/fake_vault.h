#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "bridge/common/json.h"
#include "bridge/common/jwt.h"
#include "bridge/credentials/credential_vault.h"

namespace palisor::test {

// Holds vault calls until the test opens it; the test can wait for one to arrive.
class Gate {
public:
    void arriveAndWait() {
        std::unique_lock lock(mutex_);
        arrived_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }
    void waitForArrival() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return arrived_; }))
            throw std::runtime_error("no vault call reached the gate");
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool arrived_ = false;
    bool open_ = false;
};

// An in-memory vault (one account) whose delays and failures the test
// controls. Configure it before handing it to a store; only the items and
// the read status change afterwards.
class FakeVault : public CredentialVault {
public:
    enum class Op { read, write, remove };

    // A read's hook runs once the answer is known, as if it were on its way back.
    KeychainReadResult read(const std::string& service, const std::string&) override {
        enter();
        KeychainReadResult result{vault_status::kItemNotFound, std::nullopt};
        if (std::lock_guard lock(mutex_); readStatus_)
            result.status = *readStatus_;
        else if (items_.contains(service))
            result = {vault_status::kSuccess, items_[service]};
        if (hook) hook(Op::read, service);
        return result;
    }
    std::int32_t write(const std::string& service, const std::string&, std::string_view data) override {
        enter();
        if (hook) hook(Op::write, service);
        std::lock_guard lock(mutex_);
        if (writeStatus) return *writeStatus;
        items_[service] = std::string(data);
        return vault_status::kSuccess;
    }
    std::int32_t remove(const std::string& service, const std::string&) override {
        enter();
        if (hook) hook(Op::remove, service);
        std::lock_guard lock(mutex_);
        if (removeStatus) return *removeStatus;
        return items_.erase(service) ? vault_status::kSuccess : vault_status::kItemNotFound;
    }

    void put(const std::string& service, const std::string& data) {
        std::lock_guard lock(mutex_);
        items_[service] = data;
    }
    std::optional<std::string> get(const std::string& service) {
        std::lock_guard lock(mutex_);
        return items_.contains(service) ? std::optional(items_[service]) : std::nullopt;
    }
    JsonValue record(const std::string& service) { return parseJsonObject(get(service)); }
    int calls() const { return calls_; }
    void setReadStatus(std::optional<std::int32_t> status) {
        std::lock_guard lock(mutex_);
        readStatus_ = status;
    }

    std::chrono::milliseconds delay{0};
    std::optional<std::int32_t> writeStatus;
    std::optional<std::int32_t> removeStatus;
    // Called during each call, outside the vault's lock; may throw.
    std::function<void(Op, const std::string& service)> hook;

private:
    void enter() {
        ++calls_;
        std::this_thread::sleep_for(delay);
    }

    std::mutex mutex_;
    std::map<std::string, std::string> items_;
    std::optional<std::int32_t> readStatus_;
    std::atomic<int> calls_{0};
};

// An unsigned JWT carrying `claims`.
inline std::string makeJwt(const JsonValue& claims) {
    return base64UrlEncode(R"({"alg":"none"})") + "." + base64UrlEncode(claims.dump()) + ".sig";
}

}  // namespace palisor::test
