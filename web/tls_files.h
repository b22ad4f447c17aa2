#pragma once

#include <cstdint>
#include <string>

// Checks the certificate and private key that a wss:// listener is to use,
// before the library is given them, so that a bad file is named and never
// served around: empty when they will do, otherwise why not, naming the file.
// The certificate file holds PEM certificates, the server's first and any
// chain after it; the key file a PEM private key without a passphrase that
// matches it, owned by root and open to nobody else. Both are regular files.
std::string TlsFilesProblem(const std::string& certificate, const std::string& private_key);

// The validity of the certificate file's first certificate, in seconds since
// the epoch; false when there is none to read.
bool CertificateDates(const std::string& certificate, int64_t& not_before, int64_t& not_after);
