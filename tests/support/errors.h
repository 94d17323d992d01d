#pragma once

// Checks on what an action threw, without a try block in every test.

#include <exception>
#include <optional>
#include <string>

namespace palisor::test {

// The Error that `action` threw, or nothing when it returned. An exception
// of another type is not caught: it fails the test as it should.
template <typename Error, typename Action>
std::optional<Error> thrown(Action&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// The message of the Error that `action` threw, "no error" when it returned.
template <typename Error = std::exception, typename Action>
std::string errorOf(Action&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

// The message of whatever `action` threw, "" when it returned.
template <typename Action>
std::string failureOf(Action&& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

// The code() of the Error that `action` threw, "no error" when it returned.
template <typename Error, typename Action>
std::string codeOf(Action&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.code();
    }
    return "no error";
}

}  // namespace palisor::test
