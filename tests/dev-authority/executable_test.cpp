// palisor-dev-authority started as a script would start it.
#include <gtest/gtest.h>
#include <signal.h>
#include <httplib.h>

#include <string>
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

TEST(DevAuthorityExecutable, AnnouncesItsPortFirstServesTheDemoAndStopsCleanly) {
    test::ChildProcess process = authorityProcess({"--port", "0", "--seed", "demo"});
    ASSERT_TRUE(process.waitForStdout("\n")) << process.standardOutput;
    const std::string prefix = "listening http://127.0.0.1:";
    const std::string& out = process.standardOutput;
    ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
    std::string portText = out.substr(prefix.size(), out.find('\n') - prefix.size());
    int port = std::stoi(portText);
    ASSERT_GT(port, 0);
    EXPECT_EQ(std::to_string(port), portText);

    ASSERT_TRUE(process.waitForOutput("demo project:")) << process.output;
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

    process.signal(SIGTERM);
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST(DevAuthorityExecutable, RefusesUnknownArgumentsAndStopsOnInterrupt) {
    EXPECT_EQ(authorityProcess({"--seed", "everything"}).waitForExit(), 2);

    test::ChildProcess plain = authorityProcess({});
    ASSERT_TRUE(plain.waitForStdout("\n"));
    EXPECT_EQ(plain.standardOutput.rfind("listening http://127.0.0.1:", 0), 0u);
    plain.signal(SIGINT);
    EXPECT_EQ(plain.waitForExit(), 0);
}

}  // namespace
}  // namespace palisor
