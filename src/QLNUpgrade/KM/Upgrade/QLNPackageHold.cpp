#include "QLNUpgrade/KM/Upgrade/QLNPackageHold.h"

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeQuestions.h"
#include "Utils/KM/KMLog.h"

bool QLNPackageHold::Acquire(const std::wstring& msiPath) {
    m_file.reset(::CreateFileW(msiPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) {
        KM_LOG_ERROR(L"Cannot hold the MSI package for installation: {} (error: {})", msiPath, ::GetLastError());
        return false;
    }
    const QLNMsiPackage::Verdict verdict = QLNMsiPackage::CheckMsiPackage(msiPath);
    m_verified = verdict == QLNMsiPackage::Verdict::Verified;
    if (m_verified) return true;
    if (verdict == QLNMsiPackage::Verdict::Refused) {
        KM_LOG_ERROR(L"MSI package refused while held for installation: {}", msiPath);
        m_file.reset();
        return false;
    }
    // Verification passed before, or the user accepted the unverified file:
    // either way it is not what was checked. The user has the last word over
    // the bytes that are held now.
    KM_LOG_WARN(L"MSI package failed verification while held for installation: {}", msiPath);
    if (UpgradeQuestions().InstallUnverifiedPackage()) {
        KM_LOG_INFO(L"User chose to continue with unverified MSI");
        return true;
    }
    KM_LOG_INFO(L"User cancelled upgrade due to verification failure");
    m_file.reset();
    return false;
}
