#include "page_tokens.h"

#include <cJSON.h>
#include <jwt.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// A token's clock may run a little ahead of the till's.
constexpr int64_t kClockSkewSeconds = 60;
// Far beyond any key or secret file.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

struct JwtFree {
    void operator()(jwt_t* jwt) const { jwt_free(jwt); }
};
using Jwt = std::unique_ptr<jwt_t, JwtFree>;
struct JsonDelete {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDelete>;
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// A regular file's bytes, and its owner and mode; false (and why) where it
// can't be read.
bool ReadFile(const std::string& path, std::string& bytes, struct stat& st, std::string& why) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    why = ok ? "" : "not a regular file";
    char block[4096];
    for (ssize_t got = 0; ok && (got = read(fd, block, sizeof block)) != 0;) {
        if (got < 0 || bytes.size() + static_cast<size_t>(got) > kMaxKeyFileBytes) {
            why = got < 0 ? std::strerror(errno) : "larger than a key file can be";
            ok = false;
        } else {
            bytes.append(block, static_cast<size_t>(got));
        }
    }
    close(fd);
    return ok;
}

// Whether only root may change what the path leads to: each directory on
// the way to the file (links resolved) root's, and writable by nobody else
// but where it is sticky (/tmp), where others can't move root's entries.
bool OnlyRootMayReplace(const std::string& path, std::string& why) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        why = std::strerror(errno);
        return false;
    }
    std::string directory = resolved;
    while (directory.size() > 1) {
        directory.erase(std::max<size_t>(directory.rfind('/'), 1));
        struct stat st;
        if (stat(directory.c_str(), &st) != 0 || st.st_uid != 0 ||
            ((st.st_mode & 0022) != 0 && (st.st_mode & S_ISVTX) == 0)) {
            why = "its directory " + directory + " is open to others than root";
            return false;
        }
    }
    return true;
}

std::string Mode(const struct stat& st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "owner " + std::to_string(st.st_uid) + ", mode " + mode;
}

// The algorithm that a PEM public key verifies: ES256 for an EC key on
// P-256, RS256 for an RSA key; JWT_ALG_NONE for any other.
jwt_alg_t AlgorithmOf(const std::string& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!key) {
        return JWT_ALG_NONE;
    }
    if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA) {
        return JWT_ALG_RS256;
    }
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_EC &&
        EVP_PKEY_get_group_name(key.get(), group, sizeof group, &length) == 1 &&
        std::strcmp(group, "prime256v1") == 0) {
        return JWT_ALG_ES256;
    }
    return JWT_ALG_NONE;
}

// A scanner's name as a token may list it.
bool NameFits(const char* name) {
    const size_t length = std::strlen(name);
    return length > 0 && length <= 64;
}

// A claim's value as JSON, where the token has it.
Json ClaimJson(jwt_t* jwt, const char* name) {
    char* text = jwt_get_grants_json(jwt, name);
    Json json(text != nullptr ? cJSON_Parse(text) : nullptr);
    std::free(text);
    return json;
}

// A time claim, where the token has it: false when it has it but not as a
// number (a text would read as 0, a time long past).
bool TimeClaim(jwt_t* jwt, const char* name, bool& has, int64_t& value) {
    const Json claim = ClaimJson(jwt, name);
    has = claim != nullptr;
    if (has && cJSON_IsNumber(claim.get()) && claim->valuedouble > -1e15 &&
        claim->valuedouble < 1e15) {
        value = static_cast<int64_t>(claim->valuedouble);
        return true;
    }
    return !has;
}

TokenClaims ClaimsOf(jwt_t* jwt) {
    TokenClaims claims;
    // Each claim is read, whatever an earlier one was.
    const bool exp_ok = TimeClaim(jwt, "exp", claims.has_exp, claims.exp);
    const bool nbf_ok = TimeClaim(jwt, "nbf", claims.has_nbf, claims.nbf);
    const bool iat_ok = TimeClaim(jwt, "iat", claims.has_iat, claims.iat);
    claims.times_ok = exp_ok && nbf_ok && iat_ok;
    if (const Json aud = ClaimJson(jwt, "aud")) {
        claims.has_aud = true;
        if (cJSON_IsString(aud.get())) {
            claims.aud.emplace_back(aud->valuestring);
        }
        const cJSON* item = nullptr;
        cJSON_ArrayForEach(item, (cJSON_IsArray(aud.get()) ? aud.get() : nullptr)) {
            if (cJSON_IsString(item)) {
                claims.aud.emplace_back(item->valuestring);
            }
        }
    }
    if (const Json sources = ClaimJson(jwt, "sources")) {
        claims.has_sources = true;
        claims.sources_ok = cJSON_IsArray(sources.get());
        const cJSON* item = nullptr;
        cJSON_ArrayForEach(item, (claims.sources_ok ? sources.get() : nullptr)) {
            claims.sources_ok =
                claims.sources_ok && cJSON_IsString(item) && NameFits(item->valuestring);
            if (claims.sources_ok) {
                claims.sources.emplace_back(item->valuestring);
            }
        }
    }
    return claims;
}

// Three dot-separated parts of base64url: what a signed token looks like,
// before anything decodes it.
bool LooksLikeToken(const std::string& token) {
    return std::count(token.begin(), token.end(), '.') == 2 &&
           token.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
               "0123456789-_.") == std::string::npos;
}

TokenVerdict Refused(const char* reason, const char* why) {
    TokenVerdict verdict;
    verdict.reason = reason;
    verdict.why = why;
    return verdict;
}

}  // namespace

TokenVerdict CheckClaims(const TokenClaims& claims, int64_t now, const std::string& audience) {
    if (!claims.times_ok) {
        return Refused("malformed", "the token's exp, nbf or iat is not a number");
    }
    if (!claims.has_exp) {
        return Refused("malformed", "the token has no expiry (exp)");
    }
    if (claims.exp <= now) {
        return Refused("expired", "the token has expired");
    }
    if (claims.has_nbf && claims.nbf > now) {
        return Refused("not_yet_valid", "the token is not valid yet (nbf)");
    }
    if (claims.has_iat && claims.iat > now + kClockSkewSeconds) {
        return Refused("not_yet_valid", "the token was issued in the future (iat)");
    }
    if (!audience.empty() &&
        std::find(claims.aud.begin(), claims.aud.end(), audience) == claims.aud.end()) {
        return Refused("audience", "the token is for another audience (aud)");
    }
    if (claims.has_sources && (!claims.sources_ok || claims.sources.empty())) {
        // An empty list would read as no limit: every scanner.
        return Refused("malformed", "the token's sources claim is not a list of scanner names");
    }
    TokenVerdict verdict;
    verdict.expires = claims.exp;
    verdict.limited = claims.has_sources;
    verdict.sources = claims.sources;
    return verdict;
}

std::string PageTokens::Load(const PageTokenOptions& options) {
    *this = PageTokens();
    m_enabled = options.enabled;
    m_audience = options.audience;
    if (!options.enabled) {
        return std::string();
    }
    if (options.public_key.empty() && options.secret.empty()) {
        return "PageTokens names no key: a PublicKey or a Secret";
    }
    struct stat st;
    std::string why;
    if (!options.public_key.empty()) {
        const std::string what = "page token key " + options.public_key + ": ";
        if (!ReadFile(options.public_key, m_public_key, st, why)) {
            return what + why;
        }
        // Whoever may write it may sign tokens of their own.
        if (st.st_uid != 0 || (st.st_mode & 0022) != 0) {
            return what + "others than root may write it (" + Mode(st) + "); it is refused";
        }
        if (!OnlyRootMayReplace(options.public_key, why)) {
            return what + why;
        }
        m_public_alg = AlgorithmOf(m_public_key);
        if (m_public_alg == JWT_ALG_NONE) {
            return what + "not a PEM public key for ES256 (P-256) or RS256 (RSA)";
        }
    }
    if (!options.secret.empty()) {
        const std::string what = "page token secret " + options.secret + ": ";
        if (!ReadFile(options.secret, m_secret, st, why)) {
            return what + why;
        }
        if (st.st_uid != 0 || (st.st_mode & 0077) != 0) {
            return what + "open to other users than root (" + Mode(st) + "); it is refused";
        }
        if (m_secret.size() < 32) {
            return what + "shorter than 32 bytes";
        }
        if (!OnlyRootMayReplace(options.secret, why)) {
            return what + why;
        }
    }
    return std::string();
}

TokenVerdict PageTokens::Check(const std::string& token, int64_t now) const {
    if (token.empty()) {
        return Refused("missing", "a page shows a valid Token in its SUBSCRIBE");
    }
    if (token.size() > kMaxTokenBytes) {
        return Refused("malformed", "the token is longer than 8 KiB");
    }
    if (!LooksLikeToken(token)) {
        return Refused("malformed", "the token is not a signed JSON Web Token");
    }
    // Each key in its own algorithm only: the library verifies with the
    // algorithm that the token's header names, which must be the key's.
    const struct {
        const std::string& key;
        jwt_alg_t alg;
    } keys[] = {{m_public_key, static_cast<jwt_alg_t>(m_public_alg)}, {m_secret, JWT_ALG_HS256}};
    for (const auto& key : keys) {
        jwt_t* decoded = nullptr;
        if (key.key.empty() || jwt_decode(&decoded, token.c_str(),
                                          reinterpret_cast<const unsigned char*>(key.key.data()),
                                          static_cast<int>(key.key.size())) != 0) {
            continue;
        }
        const Jwt jwt(decoded);
        if (jwt_get_alg(jwt.get()) == key.alg) {
            return CheckClaims(ClaimsOf(jwt.get()), now, m_audience);
        }
    }
    ERR_clear_error();
    return Refused("signature", "the token's signature does not check with a key configured");
}
