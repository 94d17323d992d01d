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

JsonValue record(JsonValue versions, const char* current = "1") {
    return {{"skillId", "demo"}, {"status", "active"}, {"currentVersion", current}, {"versions", std::move(versions)}};
}

JsonValue version(const char* number, JsonValue snapshot, const std::string& hash = kHash) {
    return {{"version", number}, {"status", "published"}, {"contentHash", hash}, {"fileTreeSnapshot", std::move(snapshot)}};
}

std::string fileMapError(JsonValue entry) {
    return errorOf<Error>([&] {
        FoundationSkillSource::publishedFileMaps(record(JsonValue::array({std::move(entry)})), {{"skillId", "demo"}});
    });
}

TEST(FoundationSkillSource, Discovery) {
    Recorder recorder;
    EXPECT_EQ(errorOf<Error>([&] { FoundationSkillSource::discover({{"mode", "classic"}}, "P", recorder.fetch()); }),
              "FOUNDATION_SKILL_CATALOG_INVALID");
    EXPECT_FALSE(FoundationSkillSource::discover(
        {{"mode", "classic"}, {"operationCatalog", {{"version", "v1"}, {"operations", JsonValue::array()}}}}, "P",
        recorder.fetch()));
    EXPECT_TRUE(FoundationSkillSource::discover(
        {{"mode", "foundation-anything"}, {"operationCatalog", {{"version", "foundation-v2"}, {"operations", JsonValue::array()}}}},
        "P", recorder.fetch()));
    EXPECT_EQ(errorOf<Error>([&] {
                  FoundationSkillSource::discover(
                      {{"operationCatalog", {{"version", "foundation-v3"}, {"operations", JsonValue::array()}}}}, "P",
                      recorder.fetch());
              }),
              "FOUNDATION_SKILL_CATALOG_INVALID");
}

TEST(FoundationSkillSource, ReadsGoOnlyThroughAWellFormedCataloguedOperation) {
    Recorder recorder;
    auto source = FoundationSkillSource::discover(bootstrapWith(readOperation()), "dự án 1", recorder.fetch());
    ASSERT_TRUE(source);
    EXPECT_EQ(source->read("tasks", "a:b/c", {{"version", "1 2"}, {"view", "package"}, {"other", "x"}}),
              JsonValue({{"id", "T"}}));
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].first,
              "/api/v2/projects/d%E1%BB%B1%20%C3%A1n%201/resources/tasks/a%3Ab%2Fc?version=1%202&view=package");
    EXPECT_FALSE(recorder.calls[0].second);

    source->read("tasks", "T1", {{"other", "x"}});
    EXPECT_EQ(recorder.calls.back().first, "/api/v2/projects/d%E1%BB%B1%20%C3%A1n%201/resources/tasks/T1");

    // The whole answer when "data" is not an object; a refusal when ok is false.
    recorder.answer = {{"ok", true}, {"data", "text"}};
    EXPECT_EQ(source->read("tasks", "T1"), recorder.answer);
    recorder.answer = {{"ok", false}};
    EXPECT_EQ(errorOf<Error>([&] { source->read("tasks", "T1"); }), "FOUNDATION_SKILL_READ_REJECTED");
    recorder.answer = {{"data", {{"x", 1}}}};
    EXPECT_EQ(source->read("tasks", "T1"), JsonValue({{"x", 1}}));

    auto readWith = [&](JsonValue operation) {
        auto tampered = FoundationSkillSource::discover(bootstrapWith(std::move(operation)), "P", recorder.fetch());
        return errorOf<Error>([&] { tampered->read("tasks", "T1"); });
    };
    auto changed = [](const char* key, JsonValue value) {
        JsonValue operation = readOperation();
        operation[key] = std::move(value);
        return operation;
    };
    EXPECT_EQ(readWith(changed("method", "POST")), "FOUNDATION_SKILL_READ_NOT_ALLOWED");
    EXPECT_EQ(readWith(changed("currentRoleAllowed", false)), "FOUNDATION_SKILL_READ_NOT_ALLOWED");
    EXPECT_EQ(readWith(changed("authMode", "anonymous")), "FOUNDATION_SKILL_READ_NOT_ALLOWED");
    EXPECT_EQ(readWith(changed("pathTemplate", "/api/v1/:id")), "FOUNDATION_SKILL_READ_NOT_ALLOWED");
    EXPECT_EQ(readWith(changed("pathTemplate", "/api/v2/:id?x=1")), "FOUNDATION_SKILL_READ_NOT_ALLOWED");
    EXPECT_EQ(readWith(changed("id", "foundation.resource.list")), "FOUNDATION_SKILL_READ_NOT_ALLOWED");
    EXPECT_EQ(readWith(changed("pathTemplate", "/api/v2/:tenant/:id")), "FOUNDATION_SKILL_PATH_UNRESOLVED");
    recorder.calls.clear();
    EXPECT_EQ(readWith(changed("currentRoleAllowed", true)), "no error");
    EXPECT_EQ(readWith(changed("authMode", "project-agent")), "no error");
    EXPECT_EQ(recorder.calls.back().second, true);
}

TEST(FoundationSkillSource, PackagesComeFromThePinnedOrCurrentPublishedVersion) {
    Recorder recorder;
    recorder.answer = {{"ok", true},
                       {"data", record({version("1", {{"SKILL.md", "one"}}),
                                        {{"status", "published"}, {"contentHash", kHash}, {"documentation", {{"SKILL.md", "none"}}}},
                                        version("2", {{"SKILL.md", "two"}})})}};
    auto source = FoundationSkillSource::discover(
        bootstrapWith(readOperation(), {{"readOptimizations", {{"skillPackageView", "package"}}}}), "P", recorder.fetch());

    JsonValue pinned = source->package({{"skillId", "demo"}, {"version", "2"}});
    EXPECT_EQ(recorder.calls.back().first, "/api/v2/projects/P/resources/skills/global%3Ademo?version=2&view=package");
    EXPECT_EQ(pinned, JsonValue({{"skillId", "demo"},
                                 {"version", "2"},
                                 {"contentHash", kHash},
                                 {"fileTreeSnapshot", {{"SKILL.md", "two"}}},
                                 {"sourceFormat", "foundation-v2-file-maps"},
                                 {"sourceCompleteness", "published-snapshot"},
                                 {"identityVerification", "authority-record-not-recomputed-package-hash"}}));
    EXPECT_EQ(source->package({{"skillId", "demo"}, {"recordId", "r-7"}})["version"], "1");
    EXPECT_EQ(recorder.calls.back().first, "/api/v2/projects/P/resources/skills/r%2D7?view=package");

    // Neither a pin nor a current version: the first entry without a version.
    JsonValue unversioned = recorder.answer["data"];
    unversioned.erase("currentVersion");
    JsonValue package = FoundationSkillSource::publishedFileMaps(unversioned, {{"skillId", "demo"}});
    EXPECT_EQ(package["version"], "");
    EXPECT_EQ(package["sourceCompleteness"], "published-fields-only");
    EXPECT_EQ(package["fileTreeSnapshot"], JsonValue({{"SKILL.md", "none"}}));

    auto failure = [&](const JsonValue& data, const JsonValue& ref) {
        return errorOf<Error>([&] { FoundationSkillSource::publishedFileMaps(data, ref); });
    };
    JsonValue data = recorder.answer["data"];
    EXPECT_EQ(failure(data, {{"skillId", "other"}}), "FOUNDATION_SKILL_IDENTITY_MISMATCH");
    EXPECT_EQ(failure(data, {{"skillId", 5}}), "FOUNDATION_SKILL_IDENTITY_MISMATCH");
    EXPECT_EQ(errorOf<Error>([&] { source->package({{"version", "1"}}); }), "FOUNDATION_SKILL_IDENTITY_MISMATCH");
    JsonValue retired = data;
    retired["status"] = "retired";
    EXPECT_EQ(failure(retired, {{"skillId", "demo"}}), "FOUNDATION_SKILL_IDENTITY_MISMATCH");
    EXPECT_EQ(failure(data, {{"skillId", "demo"}, {"version", "3"}}), "FOUNDATION_SKILL_PUBLISHED_VERSION_MISMATCH");
    EXPECT_EQ(failure(data, {{"skillId", "demo"}, {"contentHash", std::string(64, 'b')}}),
              "FOUNDATION_SKILL_PUBLISHED_VERSION_MISMATCH");
    EXPECT_EQ(failure(data, {{"skillId", "demo"}, {"contentHash", nullptr}}), "FOUNDATION_SKILL_PUBLISHED_VERSION_MISMATCH");
    EXPECT_EQ(FoundationSkillSource::publishedFileMaps(data, {{"skillId", "demo"}, {"contentHash", kHash}})["version"], "1");
    EXPECT_EQ(failure(record(JsonValue::array({version("1", {{"SKILL.md", "x"}}, std::string(64, 'A'))})), {{"skillId", "demo"}}),
              "FOUNDATION_SKILL_PUBLISHED_VERSION_MISMATCH");
    JsonValue draft = record(JsonValue::array({version("1", {{"SKILL.md", "x"}})}));
    draft["versions"][0]["status"] = "draft";
    EXPECT_EQ(failure(draft, {{"skillId", "demo"}}), "FOUNDATION_SKILL_PUBLISHED_VERSION_MISMATCH");
}

TEST(FoundationSkillSource, FileMapRules) {
    for (const char* bad : {"a/../b", "a//b", "./a", "/a", "a\\b", kSkillLockFileName, kSkillMarkerFileName, "a/", ""})
        EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}, {bad, "y"}})), "FOUNDATION_SKILL_FILE_INVALID") << bad;
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}, {std::string("a\0b", 3), "y"}})), "FOUNDATION_SKILL_FILE_INVALID");
    EXPECT_EQ(fileMapError(version("1", {{"SKILL.md", "x"}, {std::string("docs/") + kSkillLockFileName, "y"}})), "no error");
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
