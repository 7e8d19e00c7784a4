// Throwaway certificates for the HTTPS tests: a CA of the test's own and a server certificate it
// issued, written as PEM files.
#pragma once

#include <string>

namespace quarrow::test {

struct CertificateFiles {
    std::string CaCert; // the issuing CA's certificate, to be trusted by the client
    std::string Cert;   // the server's certificate
    std::string Key;    // the server's key
};

// A new CA (named after `name`) and a certificate it issued for host (an IPv4 address or a DNS
// name), valid from `validFrom` to `validTo` seconds after now, in the folder (ending in "/").
CertificateFiles MakeCertificates(const std::string& folder, const std::string& name,
                                  const std::string& host, long validFrom = -3600,
                                  long validTo = 86400);

} // namespace quarrow::test
