#include <gtest/gtest.h>

#include "bridge/validation/validation_execution_mode.h"
#include "tests/support/errors.h"

namespace palisor {
namespace {

using test::errorOf;

JsonValue bootstrap(JsonValue compatibility, JsonValue catalog) {
    JsonValue out = {{"ok", true}};
    if (!compatibility.is_null()) out["bridgeCompatibility"] = std::move(compatibility);
    if (!catalog.is_null()) out["operationCatalog"] = std::move(catalog);
    return out;
}

const JsonValue kBothOperations = {"project.read", "foundation.validation.create", "foundation.validation.report"};

TEST(ValidationExecutionMode, ExplicitRequestsNeedBothFoundationOperations) {
    JsonValue optOut = {{"validationExecutorRequired", false}};
    // Any project may choose explicit requests (a foundation one: in ExecutorProcess).
    EXPECT_EQ(ValidationExecutionMode::resolve(bootstrap(optOut, {{"operationIds", kBothOperations}})),
              ValidationExecutionMode::explicitRequests);

    for (JsonValue operations : {JsonValue{"foundation.validation.create"}, JsonValue::array(), JsonValue("x"),
                                 // a list with anything but strings is no list of operations
                                 JsonValue{"foundation.validation.create", "foundation.validation.report", 1}}) {
        EXPECT_EQ(errorOf([&] {
                      ValidationExecutionMode::resolve(
                          bootstrap(optOut, {{"version", "foundation-v2"}, {"operationIds", operations}}));
                  }),
                  "BRIDGE_VALIDATION_EXPLICIT_OPERATIONS_MISSING")
            << operations;
    }
    EXPECT_EQ(errorOf([&] { ValidationExecutionMode::resolve(bootstrap(optOut, nullptr)); }),
              "BRIDGE_VALIDATION_EXPLICIT_OPERATIONS_MISSING");
}

TEST(ValidationExecutionMode, OtherwiseFoundationProjectsAreRefusedAndTheRestGetAWorker) {
    JsonValue foundation = {{"version", "foundation-v2"}, {"operationIds", kBothOperations}};
    // Required, absent, or not a boolean (0 is not false).
    for (JsonValue compatibility : {JsonValue{{"validationExecutorRequired", true}}, JsonValue(nullptr),
                                    JsonValue{{"validationExecutorRequired", 0}},
                                    JsonValue{{"validationExecutorRequired", "false"}}, JsonValue("not an object")}) {
        auto refused = test::thrown<ValidationExecutionModeError>(
            [&] { ValidationExecutionMode::resolve(bootstrap(compatibility, foundation)); });
        ASSERT_TRUE(refused) << compatibility;
        EXPECT_EQ(refused->errorCase(), ValidationExecutionModeError::Case::foundationModeRequired);
        EXPECT_STREQ(refused->what(), "BRIDGE_FOUNDATION_VALIDATION_MODE_REQUIRED");

        EXPECT_EQ(ValidationExecutionMode::resolve(bootstrap(compatibility, {{"version", "foundation-v1"}})),
                  ValidationExecutionMode::queuedWorker)
            << compatibility;
    }
    EXPECT_EQ(ValidationExecutionMode::resolve({{"ok", true}}), ValidationExecutionMode::queuedWorker);
    EXPECT_EQ(ValidationExecutionMode::resolve(bootstrap(nullptr, "foundation-v2")), ValidationExecutionMode::queuedWorker);
}

TEST(ValidationExecutionMode, OnlyAnOkBootstrapIsRead) {
    for (JsonValue bootstrap : {JsonValue{{"ok", "true"}}, JsonValue{{"ok", 1}}, JsonValue{{"ok", false}},
                                JsonValue::object(), JsonValue::array(), JsonValue("ok")}) {
        auto refused = test::thrown<ValidationExecutionModeError>([&] { ValidationExecutionMode::resolve(bootstrap); });
        ASSERT_TRUE(refused) << bootstrap;
        EXPECT_EQ(*refused, ValidationExecutionModeError(ValidationExecutionModeError::Case::invalidBootstrap));
        EXPECT_STREQ(refused->what(), "BRIDGE_VALIDATION_BOOTSTRAP_INVALID");
    }
}

}  // namespace
}  // namespace palisor
