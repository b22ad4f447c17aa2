#include "tls_files.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using File = std::unique_ptr<FILE, FileCloser>;
using Certificate = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// Opens a regular file for reading (a FIFO would hold the listener for
// ever); `mode` and `owner` are its own.
File Open(const std::string& path, std::string& problem, const char* what, struct stat& st) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    File file(fd >= 0 ? fdopen(fd, "r") : nullptr);
    if (!file) {
        problem = std::string(what) + " " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = std::string(what) + " " + path + ": not a regular file";
        file.reset();
    }
    return file;
}

// A passphrase is never asked for: the daemon has nobody to ask.
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

// The first certificate of the file, once every certificate in it parsed.
Certificate ReadChain(const std::string& path, std::string& problem) {
    struct stat st;
    const File file = Open(path, problem, "certificate", st);
    if (!file) {
        return nullptr;
    }
    Certificate first(PEM_read_X509(file.get(), nullptr, NoPassphrase, nullptr));
    if (first) {
        while (Certificate(PEM_read_X509(file.get(), nullptr, NoPassphrase, nullptr))) {
        }
        // The end of the file reads as "no start line"; anything else is a
        // broken certificate further down the chain.
        if (ERR_GET_REASON(ERR_peek_last_error()) != PEM_R_NO_START_LINE) {
            first.reset();
        }
    }
    ERR_clear_error();
    if (!first) {
        problem = "certificate " + path + ": not a PEM certificate (chain)";
    }
    return first;
}

Key ReadKey(const std::string& path, std::string& problem) {
    struct stat st;
    const File file = Open(path, problem, "private key", st);
    if (!file) {
        return nullptr;
    }
    if (st.st_uid != 0 || (st.st_mode & 0077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        problem = "private key " + path + ": open to other users than root (owner " +
                  std::to_string(st.st_uid) + ", mode " + mode + "); it is refused";
        return nullptr;
    }
    Key key(PEM_read_PrivateKey(file.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    if (!key) {
        problem = "private key " + path + ": not a PEM private key (or one with a passphrase)";
    }
    return key;
}

}  // namespace

std::string TlsFilesProblem(const std::string& certificate, const std::string& private_key) {
    if (certificate.empty() || private_key.empty()) {
        return "Tls needs both a Certificate and a PrivateKey";
    }
    std::string problem;
    const Certificate chain = ReadChain(certificate, problem);
    if (!chain) {
        return problem;
    }
    const Key key = ReadKey(private_key, problem);
    if (!key) {
        return problem;
    }
    const bool matches = X509_check_private_key(chain.get(), key.get()) == 1;
    ERR_clear_error();
    if (!matches) {
        return "private key " + private_key + " does not match certificate " + certificate;
    }
    return std::string();
}

bool CertificateDates(const std::string& certificate, int64_t& not_before, int64_t& not_after) {
    std::string problem;
    const Certificate first = ReadChain(certificate, problem);
    tm before = {};
    tm after = {};
    if (!first || ASN1_TIME_to_tm(X509_get0_notBefore(first.get()), &before) != 1 ||
        ASN1_TIME_to_tm(X509_get0_notAfter(first.get()), &after) != 1) {
        return false;
    }
    not_before = static_cast<int64_t>(timegm(&before));
    not_after = static_cast<int64_t>(timegm(&after));
    return true;
}
