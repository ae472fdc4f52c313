// Adds a certificate (DER) to the current user's trusted roots in the Windows certificate
// store, the one that Qt's TLS consults on Windows. Used by https.sh under Wine, where the
// store belongs to the test's own Wine prefix.
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: embercrest-trust-root CERTIFICATE.der\n", stderr);
        return 2;
    }
    FILE *file = std::fopen(argv[1], "rb");
    if (!file) {
        std::fputs("embercrest-trust-root: cannot open the certificate\n", stderr);
        return 1;
    }
    std::vector<BYTE> der(64 * 1024);
    const size_t size = std::fread(der.data(), 1, der.size(), file);
    std::fclose(file);
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) {
        std::fprintf(stderr, "embercrest-trust-root: no Root store (%lu)\n", GetLastError());
        return 1;
    }
    const bool added =
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(size),
                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (!added)
        std::fprintf(stderr, "embercrest-trust-root: not added (%lx)\n", GetLastError());
    CertCloseStore(store, 0);
    return added ? 0 : 1;
}
