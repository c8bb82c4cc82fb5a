#include "tools/jwgate/config/tls_files.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace jwgate {
namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Certificate = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// The file opened for reading, or null with the system's reason.
Bio Open(const std::string& path, std::string* problem) {
    // fopen first: its errno names the reason in the system's own words.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *problem = std::string("cannot be read: ") + std::strerror(errno);
        return nullptr;
    }
    Bio bio(BIO_new_fp(file, BIO_CLOSE));
    if (!bio) {
        std::fclose(file);
        *problem = "cannot be read";
    }
    return bio;
}

Certificate FirstCertificate(const std::string& path, std::string* problem) {
    Bio bio = Open(path, problem);
    if (!bio) return nullptr;
    Certificate certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!certificate) *problem = "holds no PEM certificate";
    return certificate;
}

Key PrivateKey(const std::string& path, std::string* problem) {
    Bio bio = Open(path, problem);
    if (!bio) return nullptr;
    // No pass phrase callback: an encrypted key cannot be used unattended.
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    ERR_clear_error();
    if (!key) *problem = "holds no PEM private key (or one protected by a pass phrase)";
    return key;
}

}  // namespace

std::string CertificateFileProblem(const std::string& path) {
    std::string problem;
    FirstCertificate(path, &problem);
    return problem;
}

std::string KeyFileProblem(const std::string& path) {
    std::string problem;
    PrivateKey(path, &problem);
    return problem;
}

std::string KeyMismatchProblem(const std::string& certPath, const std::string& keyPath) {
    std::string problem;
    const Certificate certificate = FirstCertificate(certPath, &problem);
    const Key key = certificate ? PrivateKey(keyPath, &problem) : nullptr;
    if (!certificate || !key) return problem;
    const bool matches = X509_check_private_key(certificate.get(), key.get()) == 1;
    ERR_clear_error();
    return matches ? std::string() : "does not match the certificate in " + certPath;
}

}  // namespace jwgate
