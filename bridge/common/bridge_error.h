#pragma once

#include <exception>
#include <optional>
#include <string>

#include "bridge/common/json.h"

namespace palisor {

// What a failure means to whoever answers it. Callers switch on this, never
// on the code's text: the local endpoint picks its HTTP status from it, the
// command line its advice.
enum class ErrorKind {
    failure,        // something went wrong in the bridge or below it
    badRequest,     // a required value is missing or malformed
    loginRequired,  // there is no usable session
    unavailable,    // a service the bridge relies on did not answer
};

// Every failure in the bridge is an exception whose what() is a stable
// upper-case code ("BRIDGE_LOGIN_REQUIRED", "WORKSPACE_NOT_REGISTERED:<id>").
// Agents and the window show that code as it stands, so it is the contract.
class BridgeError : public std::exception {
public:
    explicit BridgeError(std::string code, ErrorKind kind = ErrorKind::failure);
    // `detail` says what failed where, for people ("cannot create folder
    // /x: No space left on device"); it never becomes part of the code.
    BridgeError(std::string code, std::string detail, ErrorKind kind = ErrorKind::failure);
    const char* what() const noexcept override;
    const std::string& code() const noexcept { return code_; }
    const std::string& detail() const noexcept { return detail_; }
    ErrorKind kind() const noexcept { return kind_; }
    // The HTTP status a plain route answers with: 400, 401, 503 or 500 by
    // kind; an error that carries a status of its own says so.
    virtual int httpStatus() const;
    // Structured details agents receive beside the code; none by default.
    virtual std::optional<JsonValue> data() const;
    // What people read: the code, then the detail when there is one. An error
    // whose code is a library's own text puts the cause in front of it.
    virtual std::string message() const;

private:
    std::string code_;
    std::string detail_;
    ErrorKind kind_;
};

// A file-system operation failed; the code names the operation and the
// detail carries the path and the system's reason for people reading it.
class FileError : public BridgeError {
public:
    FileError(std::string code, std::string detail, int systemError);
    int systemError() const noexcept { return systemError_; }

private:
    int systemError_;
};

// The description text of any error the bridge may see: the code of our own
// errors, the library's text of others. This is what agents receive.
std::string errorDescription(const std::exception& error);

// The same for an exception that is in flight inside a catch (...) block.
std::string currentExceptionDescription();

// What people read about an error (the window, the command line, the log):
// the description, followed by the detail when the error carries one, as in
// "FILE_WRITE_FAILED: cannot write /x/settings.json: No space left on device".
// A code alone tells nobody which file or why.
std::string errorMessage(const std::exception& error);

// The same for an exception that is in flight inside a catch (...) block.
std::string currentExceptionMessage();

}  // namespace palisor
