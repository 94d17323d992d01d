// palisor-dev-authority started as a script would start it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <httplib.h>

#include <chrono>
#include <string>
#include <vector>

#include "bridge/common/json.h"
#include "tools/dev-authority/dev_authority.h"

extern char** environ;

namespace palisor {
namespace {

class AuthorityProcess {
public:
    explicit AuthorityProcess(std::vector<std::string> arguments) {
        int out[2], err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        arguments.insert(arguments.begin(), PALISOR_DEV_AUTHORITY_EXECUTABLE);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        stdout_ = out[0];
        stderr_ = err[0];
    }
    ~AuthorityProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdout_);
        ::close(stderr_);
    }

    // Reads from the descriptor until `text` appears or the time is up.
    static bool readUntil(int fd, std::string& into, const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (into.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) return into.find(text) != std::string::npos;
            into.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    int waitForExit() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string out, err;
};

TEST(DevAuthorityExecutable, AnnouncesItsPortFirstServesTheDemoAndStopsCleanly) {
    AuthorityProcess process({"--port", "0", "--seed", "demo"});
    ASSERT_TRUE(AuthorityProcess::readUntil(process.stdout_, process.out, "\n")) << process.out;
    const std::string prefix = "listening http://127.0.0.1:";
    ASSERT_EQ(process.out.rfind(prefix, 0), 0u) << process.out;
    std::string portText = process.out.substr(prefix.size(), process.out.find('\n') - prefix.size());
    int port = std::stoi(portText);
    ASSERT_GT(port, 0);
    EXPECT_EQ(std::to_string(port), portText);

    ASSERT_TRUE(AuthorityProcess::readUntil(process.stderr_, process.err, "demo project:")) << process.err;
    auto valueAfter = [&](const std::string& label) {
        auto at = process.err.find(label);
        if (at == std::string::npos) return std::string();
        at += label.size();
        return process.err.substr(at, process.err.find('\n', at) - at);
    };
    JsonValue credentials = {{"email", valueAfter("demo user: ")}, {"password", valueAfter("demo password: ")}};
    httplib::Client client("127.0.0.1", port);
    auto login = client.Post("/api/auth/login", credentials.dump(), "application/json");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 200) << login->body;
    JsonValue memberships = parseJsonObject(std::string_view(login->body)).value("memberships", JsonValue::array());
    ASSERT_EQ(memberships.size(), 1u);
    std::string project = valueAfter("demo project: ");
    EXPECT_EQ(memberships[0]["projectKey"], project);

    // The demo project shows the whole catalogue, and its agent can claim.
    httplib::Headers web{{"Authorization", "Bearer " + parseJsonObject(std::string_view(login->body)).value("accessToken", "")}};
    auto bootstrap = client.Get(("/api/authority?projectKey=" + project).c_str(), web);
    ASSERT_TRUE(bootstrap);
    EXPECT_EQ(parseJsonObject(std::string_view(bootstrap->body))["operationCatalog"]["operations"].size(),
              dev::DevAuthority::operationCatalog()["operations"].size());
    auto issued = client.Post(("/api/projects/" + project + "/agent-tokens").c_str(), web, "{}", "application/json");
    ASSERT_TRUE(issued);
    httplib::Headers agent{{"Authorization", "Bearer " + parseJsonObject(std::string_view(issued->body)).value("token", "")}};
    auto claimed = client.Post(("/api/projects/" + project + "/progress/native/claim").c_str(), agent, "{}", "application/json");
    ASSERT_TRUE(claimed);
    EXPECT_TRUE(parseJsonObject(std::string_view(claimed->body))["item"]["itemId"].is_string()) << claimed->body;

    ::kill(process.pid_, SIGTERM);
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST(DevAuthorityExecutable, RefusesUnknownArgumentsAndStopsOnInterrupt) {
    AuthorityProcess wrong({"--seed", "everything"});
    EXPECT_EQ(wrong.waitForExit(), 2);

    AuthorityProcess plain({});
    ASSERT_TRUE(AuthorityProcess::readUntil(plain.stdout_, plain.out, "\n"));
    EXPECT_EQ(plain.out.rfind("listening http://127.0.0.1:", 0), 0u);
    ::kill(plain.pid_, SIGINT);
    EXPECT_EQ(plain.waitForExit(), 0);
}

}  // namespace
}  // namespace palisor
