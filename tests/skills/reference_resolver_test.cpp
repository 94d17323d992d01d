// Which skills a task needs: value rules, sources, priorities, combination,
// conflicts and stale task snapshots.
#include <gtest/gtest.h>

#include "bridge/skills/skill_reference_resolver.h"
#include "bridge/skills/skill_values.h"
#include "tests/support/errors.h"

namespace palisor {
namespace {

using namespace skill_values;
using test::errorOf;

std::vector<JsonValue> resolved(const char* taskText, std::vector<JsonValue> explicitSkills = {}) {
    OrderedJsonValue parsed = *parseOrderedJson(taskText);
    return SkillReferenceResolver::resolve(SkillReferenceResolver::collect(&parsed, explicitSkills));
}

std::vector<JsonValue> resolvedExplicit(std::vector<JsonValue> explicitSkills) {
    return SkillReferenceResolver::resolve(SkillReferenceResolver::collect(nullptr, explicitSkills));
}

TEST(SkillValues, TextAndNumberRules) {
    JsonValue object = JsonValue::parse(
        R"({"s":"  x \n","blank":" \t","n":12,"f":3.7,"neg":-3,"plus":"+12","spaced":" 12","twelve":"12","null":null,
            "minus":"-1","huge":1e300,"t":true})");
    EXPECT_EQ(stringValue(object, "s"), "x");
    EXPECT_FALSE(stringValue(object, "blank"));
    EXPECT_FALSE(stringValue(object, "null"));
    EXPECT_FALSE(stringValue(object, "missing"));
    EXPECT_EQ(stringValue(object, "n"), "12");
    EXPECT_EQ(stringValue(object, "t"), "true");

    EXPECT_EQ(integerValue(object, "twelve"), 12);
    EXPECT_EQ(integerValue(object, "plus"), 12);
    EXPECT_EQ(integerValue(object, "f"), 3);
    for (const char* key : {"spaced", "neg", "minus", "huge", "t"}) EXPECT_FALSE(integerValue(object, key)) << key;
    EXPECT_EQ(SkillReferenceResolver::integer(member(object, "n")), 12);

    EXPECT_EQ(compactDictionary({{"a", JsonValue(1)}, {"b", std::nullopt}, {"c", JsonValue(nullptr)}}),
              JsonValue::parse(R"({"a":1,"c":null})"));
    EXPECT_EQ(merge({{"a", 1}, {"b", 2}, {"c", 3}}, {{"a", nullptr}, {"b", ""}, {"c", " "}, {"d", 4}}),
              JsonValue::parse(R"({"a":1,"b":2,"c":" ","d":4})"));
    JsonValue target = {{"k", 1}};
    setOptional(target, "k", std::nullopt);
    setOptional(target, "m", JsonValue("v"));
    EXPECT_EQ(target, JsonValue::parse(R"({"m":"v"})"));
}

TEST(SkillAutoSyncPolicy, OnlyTheClaimActivatesUnlessTheCallerSays) {
    EXPECT_TRUE(SkillAutoSyncPolicy::shouldActivate("  progress.native.claim \n", std::nullopt));
    EXPECT_FALSE(SkillAutoSyncPolicy::shouldActivate("projects.get", std::nullopt));
    EXPECT_FALSE(SkillAutoSyncPolicy::shouldActivate("progress.native.claim", false));
    EXPECT_TRUE(SkillAutoSyncPolicy::shouldActivate("projects.get", true));
}

TEST(SkillReferenceResolver, ExactlyOneTaskSourceIsRead) {
    // Empty canonical bindings win over everything else: no task references.
    EXPECT_TRUE(
        resolved(R"({"id":"T","skillState":{"bindings":[]},"requiredSkills":["a"],"skillOutputs":{"b":{}}})").empty());

    // "skills" stands in for the bindings when there is no skill state.
    auto skills =
        resolved(R"({"itemId":"T","revision":"4","skills":["a",{"name":"b","skillVersion":"2","hash":"h"}]})");
    ASSERT_EQ(skills.size(), 2u);
    EXPECT_EQ(skills[0], JsonValue::parse(R"({"skillId":"a","syncSourceKind":"task-canonical-binding",
        "syncSourcePriority":400,"sourceTaskId":"T","sourceTaskRevision":4})"));
    EXPECT_EQ(skills[1]["version"], "2");
    EXPECT_EQ(skills[1]["contentHash"], "h");
    EXPECT_EQ(skills[1]["name"], "b");  // other members travel along

    // Typed legacy lists, each with its role; an item's own role wins, never its kind.
    auto legacy = resolved(R"({"id":"T","requiredSkills":["r"],"supportSkills":[{"skillId":"s","role":"mine",
        "syncSourceKind":"explicit","sourceTaskId":"other"}],"optionalSkills":["o",7,""],"skillOutputs":{"x":{}}})");
    ASSERT_EQ(legacy.size(), 3u);
    EXPECT_EQ(legacy[0]["skillId"], "o");
    EXPECT_EQ(legacy[0]["role"], "optional");
    EXPECT_EQ(legacy[1]["role"], "required");
    EXPECT_EQ(legacy[2], JsonValue::parse(R"({"skillId":"s","role":"mine","syncSourceKind":"task-legacy-binding",
        "syncSourcePriority":300,"sourceTaskId":"T"})"));

    // Skill outputs last: object values name their skill, others are keys.
    auto outputs = resolved(R"({"id":"T","skillOutputs":{"k":{"skillVersion":"3","role":"r","contentHash":"c",
        "extra":1},"plain":true}})");
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0], JsonValue::parse(R"({"skillId":"k","role":"r","version":"3","contentHash":"c",
        "syncSourceKind":"task-output-fallback","syncSourcePriority":100,"sourceTaskId":"T"})"));
    EXPECT_EQ(outputs[1]["skillId"], "plain");
    // Two outputs for one skill at equal priority: the first received stays.
    auto firstSeen = resolved(R"({"id":"T","skillOutputs":{"zeta":{"skillId":"x","role":"first"},
                                                           "alpha":{"skillId":"x","role":"second"}}})");
    ASSERT_EQ(firstSeen.size(), 1u);
    EXPECT_EQ(firstSeen[0]["role"], "first");

    // No task: only the explicit skills; an object without any name is skipped.
    auto explicitOnly = resolvedExplicit({{{"skillId", " e "}}, {{"title", "nameless"}}, "f"});
    ASSERT_EQ(explicitOnly.size(), 2u);
    EXPECT_EQ(explicitOnly[0]["skillId"], "e");
    EXPECT_EQ(explicitOnly[0]["syncSourcePriority"], 200);
}

TEST(SkillReferenceResolver, PrioritiesCombinationAndConflicts) {
    // A canonical binding overrides an explicit request with another identity.
    auto overridden = resolved(R"({"id":"T","skillState":{"bindings":[{"skillId":"A","version":"2"}]}})",
                               {{{"skillId", "A"}, {"version", "1"}}});
    ASSERT_EQ(overridden.size(), 1u);
    EXPECT_EQ(overridden[0]["version"], "2");
    EXPECT_EQ(overridden[0]["syncSourceKind"], "task-canonical-binding");
    EXPECT_EQ(overridden[0]["ignoredLowerPriorityIdentity"], "1@unhashed");
    EXPECT_EQ(overridden[0]["ignoredLowerPrioritySource"], "explicit");

    // A higher priority without a pin does not inherit the lower one's pin;
    // the loser's role fills the gap.
    auto unpinned = resolved(R"({"id":"T","skillState":{"bindings":[{"skillId":"A"}]}})",
                             {{{"skillId", "A"}, {"version", "1"}, {"role", "support"}}});
    EXPECT_EQ(unpinned, std::vector<JsonValue>{JsonValue::parse(R"({"skillId":"A","role":"support",
        "syncSourceKind":"task-canonical-binding","syncSourcePriority":400,"sourceTaskId":"T"})")});

    // Equal priorities fill each other's gaps, or conflict with different pins.
    auto combined = resolvedExplicit({{{"skillId", "A"}, {"version", "1"}}, {{"skillId", "A"}, {"contentHash", "h"}}});
    ASSERT_EQ(combined.size(), 1u);
    EXPECT_EQ(combined[0]["version"], "1");
    EXPECT_EQ(combined[0]["contentHash"], "h");
    EXPECT_EQ(errorOf<SkillReferenceResolverError>([] {
                  resolved(R"({"id":"T","skillState":{"bindings":[{"skillId":"A","version":"1"},
                                                                  {"skillId":"A","version":"2","contentHash":"h"}]}})");
              }),
              "SKILL_REF_CANONICAL_CONFLICT:A:1@unhashed:2@h");

    // Kinds outside the table get priority 0; a missing kind is "unknown".
    auto kinds =
        SkillReferenceResolver::resolve({{{"skillId", "a"}, {"syncSourceKind", "mystery"}, {"syncSourcePriority", 999}},
                                         {{"skillId", "b"}, {"syncSourcePriority", 999}},
                                         {{"version", "no id"}}});
    ASSERT_EQ(kinds.size(), 2u);
    EXPECT_EQ(kinds[0]["syncSourceKind"], "mystery");
    EXPECT_EQ(kinds[0]["syncSourcePriority"], 0);
    EXPECT_EQ(kinds[1]["syncSourceKind"], "unknown");
    EXPECT_EQ(kinds[1]["syncSourcePriority"], 0);

    // Sorted by skill id.
    auto sorted = resolvedExplicit({"c", "a", "b"});
    EXPECT_EQ(sorted[0]["skillId"], "a");
    EXPECT_EQ(sorted[2]["skillId"], "c");
}

TEST(SkillReferenceResolver, StaleTaskSnapshots) {
    // The lock entry installed from revision 5 of task T, against a snapshot
    // of a task: the reason to skip it, the conflict, or "no error".
    JsonValue entry = {{"sourceTaskId", "T"}, {"sourceTaskRevision", 5}, {"version", "1"}};
    auto outcome = [&](const char* task, int revision, const char* version) {
        JsonValue snapshot = {
            {"skillId", "A"}, {"sourceTaskId", task}, {"sourceTaskRevision", revision}, {"version", version}};
        std::optional<std::string> stale;
        std::string error = errorOf([&] { stale = SkillReferenceResolver::staleTaskSnapshotReason(&entry, snapshot); });
        return stale.value_or(error);
    };
    EXPECT_EQ(outcome("T", 4, "9"), "STALE_TASK_SNAPSHOT_IGNORED");
    EXPECT_EQ(outcome("T", 5, "2"), "SKILL_REF_SAME_REVISION_CONFLICT:A:5");
    EXPECT_EQ(outcome("T", 5, "1"), "no error");
    EXPECT_EQ(outcome("T", 6, "2"), "no error");
    EXPECT_EQ(outcome("U", 1, "2"), "no error");
    JsonValue older = {{"skillId", "A"}, {"sourceTaskId", "T"}, {"sourceTaskRevision", 4}, {"version", "9"}};
    EXPECT_FALSE(SkillReferenceResolver::staleTaskSnapshotReason(nullptr, older));
}

}  // namespace
}  // namespace palisor
