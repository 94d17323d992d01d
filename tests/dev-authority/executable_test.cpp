// palisor-dev-authority started as a script would start it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <httplib.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/common/json.h"
#include "tests/support/bridge_process.h"
#include "tools/dev-authority/dev_authority.h"

extern char** environ;

namespace palisor {
namespace {


// The program with this test's own environment.
test::ChildProcess authorityProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
    return {PALISOR_DEV_AUTHORITY_EXECUTABLE, arguments, environment};
}

int announcedPort(const test::ChildProcess& process) {
    const std::string prefix = "listening http://127.0.0.1:";
    const std::string& out = process.standardOutput;
    if (out.rfind(prefix, 0) != 0) return 0;
    return std::stoi(out.substr(prefix.size(), out.find('\n') - prefix.size()));
}

TEST(DevAuthorityExecutable, RefusesBadArguments) {
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"--seed", "everything"}, {"--fail-every", "x"}, {"--drop-port-every", "0"}})
        EXPECT_EQ(authorityProcess(arguments).waitForExit(), 2) << arguments[0];
}

TEST(DevAuthorityExecutable, AnnouncesItsPortFirstServesTheDemoAndStopsCleanly) {
    test::ChildProcess process = authorityProcess({"--port", "0", "--seed", "demo"});
    ASSERT_TRUE(process.waitForStdout("\n")) << process.standardOutput;
    int port = announcedPort(process);
    ASSERT_GT(port, 0) << process.standardOutput;

    ASSERT_TRUE(process.waitForOutput("demo foundation project:")) << process.output;
    auto valueAfter = [&](const std::string& label) {
        auto at = process.output.find(label);
        if (at == std::string::npos) return std::string();
        at += label.size();
        return process.output.substr(at, process.output.find('\n', at) - at);
    };
    JsonValue credentials = {{"email", valueAfter("demo user: ")}, {"password", valueAfter("demo password: ")}};
    httplib::Client client("127.0.0.1", port);
    auto login = client.Post("/api/auth/login", credentials.dump(), "application/json");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 200) << login->body;
    JsonValue memberships = parseJsonObject(std::string_view(login->body)).value("memberships", JsonValue::array());
    std::string project = valueAfter("demo project: ");
    std::string foundationProject = valueAfter("demo foundation project: ");
    ASSERT_EQ(memberships.size(), 2u);
    EXPECT_EQ(memberships[0]["projectKey"], project);
    EXPECT_EQ(memberships[1]["projectKey"], foundationProject);

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

    // DEMO-1 names published skills, each of which has a package to install.
    auto item = client.Get(("/api/projects/" + project + "/progress/DEMO-1").c_str(), web);
    ASSERT_TRUE(item);
    JsonValue skills = parseJsonObject(std::string_view(item->body))["data"]["skills"];
    ASSERT_TRUE(skills.is_array() && skills.size() >= 2) << item->body;
    for (const auto& skill : skills) {
        std::string id = skill.is_string() ? skill.get<std::string>() : skill.value("skillId", "");
        auto package = client.Get(("/api/skills/" + id + "/package").c_str(), web);
        ASSERT_TRUE(package);
        EXPECT_TRUE(parseJsonObject(std::string_view(package->body))["fileTreeSnapshot"].contains("SKILL.md"))
            << id << " " << package->body;
    }

    // The foundation project takes validation on explicit requests.
    auto foundation = client.Get(("/api/authority?projectKey=" + foundationProject).c_str(), web);
    ASSERT_TRUE(foundation);
    JsonValue foundationBootstrap = parseJsonObject(std::string_view(foundation->body));
    EXPECT_EQ(foundationBootstrap["operationCatalog"]["version"], "foundation-v2");
    EXPECT_EQ(foundationBootstrap["bridgeCompatibility"]["validationExecutorRequired"], false);

    process.signal(SIGTERM);
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST(DevAuthorityExecutable, FailsEveryNthRequestWithItsOwnFailuresInTurn) {
    test::ChildProcess process = authorityProcess({"--port", "0", "--fail-every", "3"});
    ASSERT_TRUE(process.waitForStdout("\n")) << process.output;
    int port = announcedPort(process);
    ASSERT_GT(port, 0) << process.standardOutput;

    httplib::Client client("127.0.0.1", port);
    std::vector<int> statuses;
    for (int i = 0; i < 9; ++i) {
        auto answer = client.Get("/api/health");
        ASSERT_TRUE(answer) << i;
        statuses.push_back(answer->status);
        if (answer->status != 200) {
            JsonValue body = parseJsonObject(std::string_view(answer->body));
            EXPECT_EQ(body.value("ok", true), false) << answer->body;
            EXPECT_EQ(body.value("code", ""), answer->status == 503 ? "SERVICE_UNAVAILABLE" : "INTERNAL_ERROR");
        }
    }
    EXPECT_EQ(statuses, (std::vector<int>{200, 200, 503, 200, 200, 500, 200, 200, 503}));
    process.signal(SIGINT);
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST(DevAuthorityExecutable, DropsItsPortForAWhileAndComesBackOnTheSamePortWithItsData) {
    test::ChildProcess process =
        authorityProcess({"--port", "0", "--seed", "demo", "--drop-port-every", "1", "--drop-for", "700"});
    ASSERT_TRUE(process.waitForStdout("\n")) << process.output;
    int port = announcedPort(process);
    ASSERT_GT(port, 0) << process.standardOutput;
    ASSERT_TRUE(process.waitForOutput("demo password:")) << process.output;

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1, 0);
    JsonValue credentials = {{"email", "demo@palisor.dev"}, {"password", "demo-password"}};
    std::string token;
    for (int attempt = 0; attempt < 20 && token.empty(); ++attempt) {
        auto login = client.Post("/api/auth/login", credentials.dump(), "application/json");
        if (login && login->status == 200) token = parseJsonObject(std::string_view(login->body)).value("accessToken", "");
        else std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(token.empty());

    // While the port is closed nothing answers; afterwards the same port
    // serves again and the token issued before still works.
    ASSERT_TRUE(process.waitForOutput("port closed")) << process.output;
    auto during = client.Get("/api/health");
    EXPECT_FALSE(during) << "answered while the port was closed";
    ASSERT_TRUE(process.waitForOutput("listening again")) << process.output;
    httplib::Headers web{{"Authorization", "Bearer " + token}};
    std::optional<int> status;
    for (int attempt = 0; attempt < 20 && status != 200; ++attempt) {
        auto me = client.Get("/api/auth/me", web);
        if (me) status = me->status;
        else std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status, 200);
    process.signal(SIGTERM);
    EXPECT_EQ(process.waitForExit(), 0);
}

}  // namespace
}  // namespace palisor
