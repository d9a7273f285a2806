// trust_authority CERT.der: puts the tests' own certificate authority into the
// trusted roots of the local machine. Under Wine that is the registry of the run's
// own copy of the prefix, which goes with the run: the host's trust store is never touched.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: trust_authority CERT.der\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<BYTE> der(std::istreambuf_iterator<char>(file), {});
    // The local machine's own registry store of roots (adding to the user's asks the
    // user on Windows).
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    const bool ok = root != nullptr && cert != nullptr &&
                    CertAddCertificateContextToStore(root, cert, CERT_STORE_ADD_REPLACE_EXISTING,
                                                     nullptr);
    if (!ok) {
        fprintf(stderr, "trust_authority %s: error 0x%lx\n", argv[1], GetLastError());
    }
    if (cert != nullptr) {
        CertFreeCertificateContext(cert);
    }
    if (root != nullptr) {
        CertCloseStore(root, 0);
    }
    return ok ? 0 : 1;
}
