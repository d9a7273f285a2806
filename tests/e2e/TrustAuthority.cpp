// trust_authority add|remove CERT.der: puts the tests' own certificate authority
// into the trusted roots of the local machine, or takes it out again. Under Wine
// that is the prefix's registry: the host's own trust store is never touched.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    const bool add = argc == 3 && strcmp(argv[1], "add") == 0;
    if (argc != 3 || (!add && strcmp(argv[1], "remove") != 0)) {
        fprintf(stderr, "usage: trust_authority add|remove CERT.der\n");
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<BYTE> der(std::istreambuf_iterator<char>(file), {});
    // The local machine's own registry store of roots (adding to the user's asks the
    // user on Windows; under Wine 8 a delete through the combined "Root" system store
    // reports success and leaves the certificate trusted).
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    bool ok = root != nullptr && cert != nullptr;
    if (ok && add) {
        ok = CertAddCertificateContextToStore(root, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    } else if (ok) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, cert, nullptr);
        ok = found == nullptr || CertDeleteCertificateFromStore(found); // frees `found`
    }
    if (!ok) {
        fprintf(stderr, "trust_authority %s %s: error 0x%lx\n", argv[1], argv[2], GetLastError());
    }
    if (cert != nullptr) {
        CertFreeCertificateContext(cert);
    }
    if (root != nullptr) {
        CertCloseStore(root, 0);
    }
    return ok ? 0 : 1;
}
