// palisor-dev-authority started as a script would start it.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

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
    return {test::buildProgram(PALISOR_DEV_AUTHORITY_EXECUTABLE), arguments, environment};
}

// The port named on the first line the program writes, 0 without one.
int announcedPort(test::ChildProcess& process) {
    const std::string prefix = "listening http://127.0.0.1:";
    const std::string& out = process.standardOutput;
    if (!process.waitForStdout("\n") || out.rfind(prefix, 0) != 0) return 0;
    return std::stoi(out.substr(prefix.size(), out.find('\n') - prefix.size()));
}

JsonValue bodyOf(const httplib::Result& answer) {
    return answer ? parseJsonObject(std::string_view(answer->body)) : JsonValue::object();
}

TEST(DevAuthorityExecutable, RefusesBadArguments) {
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"--seed", "everything"}, {"--fail-every", "x"}, {"--drop-port-every", "0"}})
        EXPECT_EQ(authorityProcess(arguments).waitForExit(), 2) << arguments[0];
}

TEST(DevAuthorityExecutable, AnnouncesItsPortFirstServesTheDemoAndStopsCleanly) {
    test::ChildProcess process = authorityProcess({"--port", "0", "--seed", "demo"});
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
    JsonValue login = bodyOf(client.Post("/api/auth/login", credentials.dump(), "application/json"));
    std::string project = valueAfter("demo project: "), foundationProject = valueAfter("demo foundation project: ");
    std::vector<std::string> memberships;
    for (const auto& membership : login.value("memberships", JsonValue::array()))
        memberships.push_back(membership.value("projectKey", ""));
    EXPECT_EQ(memberships, (std::vector<std::string>{project, foundationProject}));

    // The demo project shows the whole catalogue, and its agent can claim.
    httplib::Headers web{{"Authorization", "Bearer " + login.value("accessToken", "")}};
    auto postAs = [&](const httplib::Headers& headers, const std::string& path) {
        return bodyOf(client.Post(path.c_str(), headers, "{}", "application/json"));
    };
    auto getAs = [&](const std::string& path) { return bodyOf(client.Get(path.c_str(), web)); };
    EXPECT_EQ(getAs("/api/authority?projectKey=" + project)["operationCatalog"]["operations"].size(),
              dev::DevAuthority::operationCatalog()["operations"].size());
    httplib::Headers agent{
        {"Authorization", "Bearer " + postAs(web, "/api/projects/" + project + "/agent-tokens").value("token", "")}};
    JsonValue claimed = postAs(agent, "/api/projects/" + project + "/progress/native/claim");
    EXPECT_TRUE(claimed["item"]["itemId"].is_string()) << claimed;

    // DEMO-1 names published skills, each of which has a package to install.
    JsonValue skills = getAs("/api/projects/" + project + "/progress/DEMO-1")["data"]["skills"];
    ASSERT_TRUE(skills.is_array() && skills.size() >= 2) << skills;
    for (const auto& skill : skills) {
        std::string id = skill.is_string() ? skill.get<std::string>() : skill.value("skillId", "");
        EXPECT_TRUE(getAs("/api/skills/" + id + "/package")["fileTreeSnapshot"].contains("SKILL.md")) << id;
    }

    // The foundation project takes validation on explicit requests.
    JsonValue foundation = getAs("/api/authority?projectKey=" + foundationProject);
    EXPECT_EQ(foundation["operationCatalog"]["version"], "foundation-v2");
    EXPECT_EQ(foundation["bridgeCompatibility"]["validationExecutorRequired"], false);

    process.signal(SIGTERM);
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST(DevAuthorityExecutable, FailsEveryNthRequestWithItsOwnFailuresInTurn) {
    test::ChildProcess process = authorityProcess({"--port", "0", "--fail-every", "3"});
    int port = announcedPort(process);
    ASSERT_GT(port, 0) << process.standardOutput;
    httplib::Client client("127.0.0.1", port);
    std::vector<std::string> outcomes;
    for (int i = 0; i < 9; ++i) {
        auto answer = client.Get("/api/health");
        JsonValue body = bodyOf(answer);
        outcomes.push_back(std::to_string(answer ? answer->status : 0) + " " + body.value("code", "") +
                           (body.value("ok", true) ? "" : " not ok"));
    }
    const std::string ok = "200 ", unavailable = "503 SERVICE_UNAVAILABLE not ok";
    EXPECT_EQ(outcomes, (std::vector<std::string>{ok, ok, unavailable, ok, ok, "500 INTERNAL_ERROR not ok", ok, ok,
                                                  unavailable}));
    process.signal(SIGINT);
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST(DevAuthorityExecutable, DropsItsPortForAWhileAndComesBackOnTheSamePortWithItsData) {
    test::ChildProcess process =
        authorityProcess({"--port", "0", "--seed", "demo", "--drop-port-every", "1", "--drop-for", "700"});
    int port = announcedPort(process);
    ASSERT_GT(port, 0) << process.standardOutput;
    ASSERT_TRUE(process.waitForOutput("demo password:")) << process.output;

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1, 0);
    JsonValue credentials = {{"email", "demo@palisor.dev"}, {"password", "demo-password"}};
    std::string token;
    for (int attempt = 0; attempt < 20 && token.empty(); ++attempt) {
        auto login = client.Post("/api/auth/login", credentials.dump(), "application/json");
        if (login && login->status == 200)
            token = bodyOf(login).value("accessToken", "");
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(token.empty());

    // While the port is closed nothing answers; afterwards the same port
    // serves again and the token issued before still works.
    ASSERT_TRUE(process.waitForOutput("port closed")) << process.output;
    EXPECT_FALSE(client.Get("/api/health")) << "answered while the port was closed";
    ASSERT_TRUE(process.waitForOutput("listening again")) << process.output;
    std::optional<int> status;
    for (int attempt = 0; attempt < 20 && status != 200; ++attempt) {
        auto me = client.Get("/api/auth/me", {{"Authorization", "Bearer " + token}});
        if (me)
            status = me->status;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status, 200);
    process.signal(SIGTERM);
    EXPECT_EQ(process.waitForExit(), 0);
}

}  // namespace
}  // namespace palisor
