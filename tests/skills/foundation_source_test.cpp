// Reads from an authority of the foundation generation: discovery, the checks
// on the catalogued read operation, and published records becoming packages.
#include <gtest/gtest.h>

#include "bridge/skills/foundation_skill_source.h"
#include "bridge/skills/skill_folder.h"
#include "tests/support/errors.h"

namespace palisor {
namespace {

using test::errorOf;
using Error = FoundationSkillSource::SourceError;

const std::string kHash(64, 'a');

JsonValue readOperation() {
    return {{"id", "foundation.resource.get"},
            {"method", "GET"},
            {"authMode", "web-session"},
            {"pathTemplate", "/api/v2/projects/:projectKey/resources/:resource/:id"},
            {"queryParams", {"view", "version"}}};
}

JsonValue bootstrapWith(JsonValue operation, JsonValue extra = JsonValue::object()) {
    JsonValue catalog = {{"version", "foundation-v2"}, {"operations", JsonValue::array({std::move(operation)})}};
    catalog.update(extra);
    return {{"mode", "foundation-v2"}, {"operationCatalog", catalog}};
}

struct Recorder {
    std::vector<std::pair<std::string, bool>> calls;
    JsonValue answer = {{"ok", true}, {"data", {{"id", "T"}}}};
    FoundationSkillSource::Fetch fetch() {
        return [this](const std::string& path, bool agent) {
            calls.emplace_back(path, agent);
            return answer;
        };
    }
};

JsonValue record(JsonValue versions) {
    return {{"skillId", "demo"}, {"status", "active"}, {"currentVersion", "1"}, {"versions", std::move(versions)}};
}

JsonValue version(const char* number, JsonValue snapshot, const std::string& hash = kHash) {
    return {
        {"version", number}, {"status", "published"}, {"contentHash", hash}, {"fileTreeSnapshot", std::move(snapshot)}};
}

// The error of turning `data` into the package of `ref`, "no error" when it goes through.
std::string packageError(const JsonValue& data, const JsonValue& ref = {{"skillId", "demo"}}) {
    return errorOf<Error>([&] { FoundationSkillSource::publishedFileMaps(data, ref); });
}

std::string fileMapError(JsonValue entry) {
    return packageError(record(JsonValue::array({std::move(entry)})));
}

TEST(FoundationSkillSource, DiscoveryAndReadsThroughAWellFormedCataloguedOperationOnly) {
    Recorder recorder;
    // The generation comes from the mode or the catalogue's version; a
    // catalogue without operations, or of another foundation version, is refused.
    auto discovered = [&](JsonValue bootstrap) {
        std::shared_ptr<FoundationSkillSource> found;
        std::string error =
            errorOf<Error>([&] { found = FoundationSkillSource::discover(bootstrap, "P", recorder.fetch()); });
        return found ? std::string("foundation") : error == "no error" ? "older generation" : error;
    };
    JsonValue noOperations = {{"version", "foundation-v2"}, {"operations", JsonValue::array()}};
    EXPECT_EQ(discovered({{"mode", "classic"}}), "FOUNDATION_SKILL_CATALOG_INVALID");
    EXPECT_EQ(discovered(
                  {{"mode", "classic"}, {"operationCatalog", {{"version", "v1"}, {"operations", JsonValue::array()}}}}),
              "older generation");
    EXPECT_EQ(discovered({{"mode", "foundation-anything"}, {"operationCatalog", noOperations}}), "foundation");
    EXPECT_EQ(discovered({{"operationCatalog", {{"version", "foundation-v3"}, {"operations", JsonValue::array()}}}}),
              "FOUNDATION_SKILL_CATALOG_INVALID");

    auto source = FoundationSkillSource::discover(bootstrapWith(readOperation()), "dự án 1", recorder.fetch());
    ASSERT_TRUE(source);
    EXPECT_EQ(source->read("tasks", "a:b/c", {{"version", "1 2"}, {"view", "package"}, {"other", "x"}}),
              JsonValue({{"id", "T"}}));
    EXPECT_EQ(recorder.calls.back(),
              std::make_pair(std::string("/api/v2/projects/d%E1%BB%B1%20%C3%A1n%201/resources/tasks/"
                                         "a%3Ab%2Fc?version=1%202&view=package"),
                             false));
    source->read("tasks", "T1", {{"other", "x"}});
    EXPECT_EQ(recorder.calls.back().first, "/api/v2/projects/d%E1%BB%B1%20%C3%A1n%201/resources/tasks/T1");

    // The whole answer when "data" is not an object; a refusal when ok is false.
    recorder.answer = {{"ok", true}, {"data", "text"}};
    EXPECT_EQ(source->read("tasks", "T1"), recorder.answer);
    recorder.answer = {{"ok", false}};
    EXPECT_EQ(errorOf<Error>([&] { source->read("tasks", "T1"); }), "FOUNDATION_SKILL_READ_REJECTED");
    recorder.answer = {{"data", {{"x", 1}}}};
    EXPECT_EQ(source->read("tasks", "T1"), JsonValue({{"x", 1}}));

    // The read operation with one member changed.
    const char* refused = "FOUNDATION_SKILL_READ_NOT_ALLOWED";
    for (auto [key, value, expected] : std::vector<std::tuple<const char*, JsonValue, std::string>>{
             {"method", "POST", refused},
             {"currentRoleAllowed", false, refused},
             {"authMode", "anonymous", refused},
             {"pathTemplate", "/api/v1/:id", refused},
             {"pathTemplate", "/api/v2/:id?x=1", refused},
             {"id", "foundation.resource.list", refused},
             {"pathTemplate", "/api/v2/:tenant/:id", "FOUNDATION_SKILL_PATH_UNRESOLVED"},
             {"currentRoleAllowed", true, "no error"},
             {"authMode", "project-agent", "no error"}}) {
        JsonValue operation = readOperation();
        operation[key] = value;
        auto tampered = FoundationSkillSource::discover(bootstrapWith(operation), "P", recorder.fetch());
        EXPECT_EQ(errorOf<Error>([&] { tampered->read("tasks", "T1"); }), expected) << key << " " << value;
    }
    EXPECT_EQ(recorder.calls.back().second, true);  // as the project's agent
}

TEST(FoundationSkillSource, PackagesComeFromThePinnedOrCurrentPublishedVersion) {
    Recorder recorder;
    JsonValue data =
        record({version("1", {{"SKILL.md", "one"}}),
                {{"status", "published"}, {"contentHash", kHash}, {"documentation", {{"SKILL.md", "none"}}}},
                version("2", {{"SKILL.md", "two"}})});
    recorder.answer = {{"ok", true}, {"data", data}};
    auto source = FoundationSkillSource::discover(
        bootstrapWith(readOperation(), {{"readOptimizations", {{"skillPackageView", "package"}}}}), "P",
        recorder.fetch());

    JsonValue pinned = source->package({{"skillId", "demo"}, {"version", "2"}});
    EXPECT_EQ(recorder.calls.back().first, "/api/v2/projects/P/resources/skills/global%3Ademo?version=2&view=package");
    EXPECT_EQ(pinned,
              JsonValue::parse(R"({"skillId":"demo","version":"2","contentHash":")" + kHash +
                               R"(","fileTreeSnapshot":{"SKILL.md":"two"},"sourceFormat":"foundation-v2-file-maps",
        "sourceCompleteness":"published-snapshot","identityVerification":"authority-record-not-recomputed-package-hash"})"));
    EXPECT_EQ(source->package({{"skillId", "demo"}, {"recordId", "r-7"}})["version"], "1");
    EXPECT_EQ(recorder.calls.back().first, "/api/v2/projects/P/resources/skills/r%2D7?view=package");
    EXPECT_EQ(errorOf<Error>([&] { source->package({{"version", "1"}}); }), "FOUNDATION_SKILL_IDENTITY_MISMATCH");

    // Neither a pin nor a current version: the first entry without a version.
    JsonValue unversioned = data;
    unversioned.erase("currentVersion");
    JsonValue package = FoundationSkillSource::publishedFileMaps(unversioned, {{"skillId", "demo"}});
    EXPECT_EQ(package["version"], "");
    EXPECT_EQ(package["sourceCompleteness"], "published-fields-only");
    EXPECT_EQ(package["fileTreeSnapshot"], JsonValue({{"SKILL.md", "none"}}));

    JsonValue retired = data;
    retired["status"] = "retired";
    JsonValue draft = record(JsonValue::array({version("1", {{"SKILL.md", "x"}})}));
    draft["versions"][0]["status"] = "draft";
    const char* identity = "FOUNDATION_SKILL_IDENTITY_MISMATCH";
    const char* published = "FOUNDATION_SKILL_PUBLISHED_VERSION_MISMATCH";
    EXPECT_EQ(packageError(data, {{"skillId", "other"}}), identity);
    EXPECT_EQ(packageError(data, {{"skillId", 5}}), identity);
    EXPECT_EQ(packageError(retired), identity);
    EXPECT_EQ(packageError(data, {{"skillId", "demo"}, {"version", "3"}}), published);
    EXPECT_EQ(packageError(data, {{"skillId", "demo"}, {"contentHash", std::string(64, 'b')}}), published);
    EXPECT_EQ(packageError(data, {{"skillId", "demo"}, {"contentHash", nullptr}}), published);
    EXPECT_EQ(packageError(data, {{"skillId", "demo"}, {"contentHash", kHash}}), "no error");
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}}, std::string(64, 'A'))), published);
    EXPECT_EQ(packageError(draft), published);
}

TEST(FoundationSkillSource, FileMapRules) {
    for (const char* bad : {"a/../b", "a//b", "./a", "/a", "a\\b", kSkillLockFileName, kSkillMarkerFileName, "a/", ""})
        EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}, {bad, "y"}})), "FOUNDATION_SKILL_FILE_INVALID") << bad;
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}, {std::string("a\0b", 3), "y"}})),
              "FOUNDATION_SKILL_FILE_INVALID");
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}, {std::string("docs/") + kSkillLockFileName, "y"}})),
              "no error");
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", 5}})), "FOUNDATION_SKILL_FILE_INVALID");
    EXPECT_EQ(fileMapError(version("1", "not a map")), "FOUNDATION_SKILL_FILE_MAP_INVALID");

    JsonValue twice = version("1", {{"SKILL.md", "same"}});
    twice["documentation"] = {{"SKILL.md", "same"}, {"guide.md", "g"}};
    EXPECT_EQ(fileMapError(twice), "no error");
    twice["scripts"] = {{"SKILL.md", "different"}};
    EXPECT_EQ(fileMapError(twice), "FOUNDATION_SKILL_FILE_CONFLICT");

    EXPECT_EQ(fileMapError(version("1", {{"README.md", "x"}})), "FOUNDATION_SKILL_FILE_TREE_INVALID");
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", ""}})), "FOUNDATION_SKILL_FILE_TREE_INVALID");
    JsonValue many = {{"SKILL.md", "x"}};
    for (int i = 1; i < 2000; ++i) many["f" + std::to_string(i)] = "y";
    EXPECT_EQ(fileMapError(version("1", many)), "no error");
    many["one-more"] = "y";
    EXPECT_EQ(fileMapError(version("1", many)), "FOUNDATION_SKILL_FILE_TREE_INVALID");
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}, {"big", std::string(16 * 1024 * 1024, 'x')}})),
              "FOUNDATION_SKILL_FILE_TREE_INVALID");
}

}  // namespace
}  // namespace palisor
