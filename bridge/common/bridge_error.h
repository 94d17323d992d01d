#pragma once

#include <exception>
#include <string>

namespace palisor {

// Every failure in the bridge is an exception whose what() is a stable
// upper-case code ("BRIDGE_LOGIN_REQUIRED", "WORKSPACE_NOT_REGISTERED:<id>").
// Agents and the window show that code as it stands, so it is the contract.
class BridgeError : public std::exception {
public:
    explicit BridgeError(std::string code);
    const char* what() const noexcept override;
    const std::string& code() const noexcept { return code_; }

private:
    std::string code_;
};

// A file-system operation failed; the code names the operation and the
// message carries the path and the system's reason for people reading it.
class FileError : public BridgeError {
public:
    FileError(std::string code, std::string detail, int systemError);
    const std::string& detail() const noexcept { return detail_; }
    int systemError() const noexcept { return systemError_; }

private:
    std::string detail_;
    int systemError_;
};

// The description text of any error the bridge may see: the code of our own
// errors, the library's text of others.
std::string errorDescription(const std::exception& error);

// The same for an exception that is in flight inside a catch (...) block.
std::string currentExceptionDescription();

}  // namespace palisor
