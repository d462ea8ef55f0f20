// What Windows' trust check says of signed files: adds a certificate
// authority (DER file) to the machine's root store, then prints the
// WinVerifyTrust result of each file as "0xXXXXXXXX path".
//
// usage: q5trustprobe64.exe CA.der FILE...
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <stdio.h>

namespace {

struct StoreCloser {
    HCERTSTORE hStore;
    ~StoreCloser() { if (hStore != nullptr) CertCloseStore(hStore, 0); }
};

bool AddRoot(const wchar_t* path)
{
    BYTE abCert[16384];
    DWORD cbCert = 0;
    HANDLE hFile = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    BOOL bRead = ReadFile(hFile, abCert, sizeof(abCert), &cbCert, nullptr);
    CloseHandle(hFile);
    StoreCloser store{CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root")};
    return bRead && store.hStore != nullptr &&
           CertAddEncodedCertificateToStore(store.hStore, X509_ASN_ENCODING, abCert, cbCert,
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
}

LONG Verify(const wchar_t* path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2 || !AddRoot(argv[1])) {
        printf("cannot add the root certificate\n");
        return 1;
    }
    for (int i = 2; i < argc; ++i) printf("0x%08lX %ls\n", static_cast<unsigned long>(Verify(argv[i])), argv[i]);
    return 0;
}
