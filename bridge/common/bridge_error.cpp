#include "bridge/common/bridge_error.h"

namespace palisor {

BridgeError::BridgeError(std::string code, ErrorKind kind) : code_(std::move(code)), kind_(kind) {}

BridgeError::BridgeError(std::string code, std::string detail, ErrorKind kind)
    : code_(std::move(code)), detail_(std::move(detail)), kind_(kind) {}

int BridgeError::httpStatus() const {
    switch (kind_) {
        case ErrorKind::badRequest: return 400;
        case ErrorKind::loginRequired: return 401;
        case ErrorKind::unavailable: return 503;
        case ErrorKind::failure: break;
    }
    return 500;
}

std::optional<JsonValue> BridgeError::data() const { return std::nullopt; }

const char* BridgeError::what() const noexcept { return code_.c_str(); }

std::string BridgeError::message() const { return detail_.empty() ? code_ : code_ + ": " + detail_; }

FileError::FileError(std::string code, std::string detail, int systemError)
    : BridgeError(std::move(code), std::move(detail)), systemError_(systemError) {}

std::string errorDescription(const std::exception& error) { return error.what(); }

std::string currentExceptionDescription() {
    try {
        throw;
    } catch (const std::exception& error) {
        return errorDescription(error);
    } catch (...) {
        return "UNKNOWN_ERROR";
    }
}

std::string errorMessage(const std::exception& error) {
    if (const auto* ours = dynamic_cast<const BridgeError*>(&error)) return ours->message();
    return errorDescription(error);
}

std::string currentExceptionMessage() {
    try {
        throw;
    } catch (const std::exception& error) {
        return errorMessage(error);
    } catch (...) {
        return "UNKNOWN_ERROR";
    }
}

}  // namespace palisor
