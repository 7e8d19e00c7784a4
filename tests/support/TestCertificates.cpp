// P-256 keys keep making them fast; every certificate is signed with SHA-256.
#include "TestCertificates.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace quarrow::test {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Key NewKey() {
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key)
        throw std::runtime_error("cannot make a test key");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        throw std::runtime_error("cannot make a test certificate extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

Certificate NewCertificate(const std::string& commonName, EVP_PKEY* key, long serial,
                           long validFrom, long validTo) {
    Certificate certificate(X509_new(), X509_free);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), validFrom);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), validTo);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return certificate;
}

void Write(const std::string& path, const auto& write) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file || !write(file))
        throw std::runtime_error("cannot write " + path);
    std::fclose(file);
}

} // namespace

CertificateFiles MakeCertificates(const std::string& folder, const std::string& name,
                                  const std::string& host, long validFrom, long validTo) {
    const Key caKey = NewKey();
    const Certificate ca = NewCertificate(name + " test CA", caKey.get(), 1, -86400, 86400 * 30);
    X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
    AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    X509_sign(ca.get(), caKey.get(), EVP_sha256());

    const Key key = NewKey();
    const Certificate server = NewCertificate(host, key.get(), 2, validFrom, validTo);
    X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get()));
    const bool address = host.find_first_not_of("0123456789.") == std::string::npos;
    AddExtension(server.get(), ca.get(), NID_subject_alt_name,
                 ((address ? "IP:" : "DNS:") + host).c_str());
    AddExtension(server.get(), ca.get(), NID_basic_constraints, "CA:FALSE");
    X509_sign(server.get(), caKey.get(), EVP_sha256());

    const CertificateFiles files{folder + name + "-ca.pem", folder + name + "-cert.pem",
                                 folder + name + "-key.pem"};
    Write(files.CaCert, [&](std::FILE* f) { return PEM_write_X509(f, ca.get()) == 1; });
    Write(files.Cert, [&](std::FILE* f) { return PEM_write_X509(f, server.get()) == 1; });
    Write(files.Key, [&](std::FILE* f) {
        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    return files;
}

} // namespace quarrow::test
