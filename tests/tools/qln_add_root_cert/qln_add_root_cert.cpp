// Test tool: trusts a certificate for the whole (Wine) machine by adding it to
// the LOCAL_MACHINE "Root" store.
//
//   qln_add_root_cert.exe <certificate file, DER or PEM>
//
// Exit code 0 on success, 1 on a usage error, 2 when the file cannot be read
// or decoded, 3 when the store cannot be opened or the certificate not added.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Utils/UniqueHandle.h"

namespace {

void CloseStore(HCERTSTORE store) noexcept { ::CertCloseStore(store, 0); }
using UniqueCertStore = qln::UniqueAny<qln::NullInvalidTraits<HCERTSTORE, &CloseStore>>;

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& out) {
    qln::UniqueFileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > 1024 * 1024) return false;
    out.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ::ReadFile(file.get(), out.data(), static_cast<DWORD>(out.size()), &read, nullptr) && read == out.size();
}

// A PEM file is base64 between "-----BEGIN" and "-----END" lines; anything
// else is taken as DER as it stands.
bool DecodeCertificate(const std::vector<BYTE>& file, std::vector<BYTE>& der) {
    const std::string text(file.begin(), file.end());
    if (text.find("-----BEGIN") == std::string::npos) {
        der = file;
        return true;
    }
    DWORD size = 0;
    if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr) ||
        size == 0) {
        return false;
    }
    der.resize(size);
    return ::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                                  der.data(), &size, nullptr, nullptr) != FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: qln_add_root_cert.exe <certificate file>\n");
        return 1;
    }
    std::vector<BYTE> file;
    std::vector<BYTE> der;
    if (!ReadWholeFile(argv[1], file) || !DecodeCertificate(file, der)) {
        std::fwprintf(stderr, L"cannot read a certificate from %ls (error %lu)\n", argv[1], ::GetLastError());
        return 2;
    }
    UniqueCertStore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) {
        std::fwprintf(stderr, L"CertOpenStore(LOCAL_MACHINE Root) failed, error %lu\n", ::GetLastError());
        return 3;
    }
    if (!::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                            nullptr)) {
        std::fwprintf(stderr, L"CertAddEncodedCertificateToStore failed, error %lu\n", ::GetLastError());
        return 3;
    }
    std::fwprintf(stdout, L"added %ls to LOCAL_MACHINE Root\n", argv[1]);
    return 0;
}
