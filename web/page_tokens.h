#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the configuration says of page tokens (<PageTokens>): pages show a
// JSON Web Token that the POS's own server signed, and only those whose
// token is valid are served.
struct PageTokenOptions {
    bool enabled = false;
    std::string public_key;  // a PEM public key file: ES256 (P-256) or RS256 (RSA)
    std::string secret;      // a file holding an HS256 secret, 32 bytes at least
    std::string audience;    // the "aud" a token must name; empty: any
};

// A token's claims as read, for the checks that are no signature's.
struct TokenClaims {
    bool has_exp = false;
    int64_t exp = 0;
    bool has_nbf = false;
    int64_t nbf = 0;
    bool has_iat = false;
    int64_t iat = 0;
    bool times_ok = true;  // exp, nbf and iat, where present, are numbers
    bool has_aud = false;
    std::vector<std::string> aud;  // a string, or a list of them
    bool has_sources = false;      // a "sources" claim: the scanners it allows
    bool sources_ok = true;        // it is a list of scanner names
    std::vector<std::string> sources;
};

// Whether a token is valid, and what it allows.
struct TokenVerdict {
    // Why not, as counted: "missing", "malformed", "signature", "expired",
    // "not_yet_valid", "audience" (and "sources", for a SUBSCRIBE that asks
    // for more than its token allows). Empty: valid.
    std::string reason;
    std::string why;      // for the page; never the token itself
    int64_t expires = 0;  // its "exp", seconds since the epoch
    bool limited = false;
    std::vector<std::string> sources;  // where limited: the scanners it allows
};

// The claims' checks at `now` (seconds since the epoch): "exp" present and
// not past, "nbf" (where present) past, "iat" (where present) not beyond 60 s
// ahead, each a number; "aud" naming `audience` where one is configured;
// "sources" a list of one name or more.
TokenVerdict CheckClaims(const TokenClaims& claims, int64_t now, const std::string& audience);

// The keys that page tokens are checked with, read once at start. Each key
// verifies its own algorithm only, whatever a token's header names: the
// public key ES256 or RS256 as its kind says, the secret HS256; "none" never.
class PageTokens {
  public:
    // The longest token taken.
    static constexpr size_t kMaxTokenBytes = 8192;

    // Reads the keys that the options name: empty when they will do, else
    // why not, naming the file (missing, unreadable, not a key of those
    // kinds, a secret shorter than 32 bytes or open to others than root).
    std::string Load(const PageTokenOptions& options);
    bool enabled() const { return m_enabled; }

    // The token as a page sent it (empty: none), at `now`.
    TokenVerdict Check(const std::string& token, int64_t now) const;

  private:
    friend struct PageTokenHarness;  // sets the keys without files

    bool m_enabled = false;
    std::string m_public_key;  // PEM text
    int m_public_alg = 0;      // libjwt's jwt_alg_t for it
    std::string m_secret;
    std::string m_audience;
};
