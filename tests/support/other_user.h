#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace palisor::test {

inline constexpr uid_t kNobody = 65534;

// Why a test cannot act as another local user here (not root, no setpriv, or
// a kernel that does not name socket owners); empty when it can.
std::string whyNoOtherUser();

// `command` run as nobody through setpriv.
std::vector<std::string> asNobody(const std::vector<std::string>& command);

// A listener on 127.0.0.1:port owned by nobody, in a child process of its own.
// It answers every request with a 200 and an empty JSON object, and tells
// whether any bytes ever reached it.
class NobodysListener {
public:
    explicit NobodysListener(std::uint16_t port);
    ~NobodysListener();
    NobodysListener(const NobodysListener&) = delete;
    NobodysListener& operator=(const NobodysListener&) = delete;

    bool listening() const { return listening_; }
    bool receivedBytes() const;

private:
    pid_t pid_ = -1;
    int received_ = -1;
    bool listening_ = false;
};

}  // namespace palisor::test
