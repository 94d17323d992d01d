#include "bridge/app/advice.h"

#include "bridge/app/bridge_components.h"
#include "bridge/app/configuration.h"
#include "bridge/common/bridge_error.h"
#include "bridge/credentials/credential_file_vault.h"
#include "bridge/credentials/native_token_store.h"
#include "bridge/workspace/agents_pointer.h"

namespace palisor {

std::optional<std::string> configuredCredentialFile(const Configuration& configuration) {
    CredentialStoreChoice choice = configuredCredentialStore(credentialSettings(configuration));
    if (choice.kind != CredentialStoreChoice::Kind::file) return std::nullopt;
    return choice.file;
}

std::string credentialFileProblem(const Configuration& configuration, const std::optional<std::string>& file) {
    if (!file) return {};
    auto refusal = CredentialFileVault(*file, standardCredentialFilePath(configuration.folders)).refusal();
    return refusal ? refusal->finding + "\n" + refusal->fix : std::string();
}

std::string credentialFileProblem(const Configuration& configuration) {
    return credentialFileProblem(configuration, configuredCredentialFile(configuration));
}

std::string noKeyringHint(const Configuration& configuration) {
    return "Không lưu được phiên vào keyring. Trên máy không có keyring, chạy palisor-bridge login "
           "--credential-file " +
           standardCredentialFilePath(configuration.folders) +
           " để giữ phiên trong file đó (mode 0600); bridge nhớ lựa chọn này. palisor-bridge doctor cho biết thêm.";
}

std::string sessionStoreAdvice(const Configuration& configuration, const std::exception& loginError) {
    return sessionStoreAdvice(configuration, loginError, configuredCredentialFile(configuration));
}

std::string sessionStoreAdvice(const Configuration& configuration, const std::exception& loginError,
                               const std::optional<std::string>& file) {
    auto* store = dynamic_cast<const NativeTokenStoreError*>(&loginError);
    if (!store) return {};
    // A keyring that stopped answering is there; it needs no credential file.
    if (store->errorCase() == NativeTokenStoreError::Case::keychainWriteTimedOut)
        return "Kho lưu phiên đăng nhập (keyring) không trả lời. Chạy palisor-bridge doctor để xem nguyên nhân và "
               "cách sửa.";
    if (std::string problem = credentialFileProblem(configuration, file); !problem.empty()) return problem;
    // A full disk or a read-only folder: the error names which and why.
    if (file)
        return "Không lưu được phiên vào " + *file +
               ": sửa lỗi trên (chỗ trống trên đĩa, quyền ghi thư mục) rồi đăng nhập lại.";
    return noKeyringHint(configuration);
}

std::string agentsPointerFix(const std::string& agentsPath, const std::string& projectKey,
                             const std::string& authorityOrigin) {
    return "Thêm vào " + agentsPath + " các dòng \"- projectKey: " + projectKey + "\" và \"- authorityOrigin: " +
           authorityOrigin + "\" (mỗi dòng bắt đầu bằng \"- \").";
}

std::string agentsUnreadableFix(const std::string& workspaceRoot) {
    return "Kiểm tra rằng AGENTS.md có trong " + workspaceRoot + ", đọc được và là UTF-8.";
}

Advice authorityMismatchAdvice(const AgentsPointer& pointer, const std::string& bridgeOrigin) {
    return {"AGENTS.md trỏ tới authority " + pointer.authorityOrigin + ", còn bridge dùng " + bridgeOrigin + ".",
            "Sửa dòng \"- authorityOrigin:\" trong " + pointer.agentsPath + ", hoặc đặt PALISOR_BRIDGE_AUTHORITY=" +
                pointer.authorityOrigin + "."};
}

}  // namespace palisor
