// A page's SUBSCRIBE with its token, as the server takes it: the request read,
// the token checked against an ES256 public key and an HS256 secret (the
// seeds are signed with their private halves, so that the claims' checks are
// reached), and the message as the log shows it. Whatever the bytes, a
// verdict says why it refuses in a few words of its own, a token it takes has
// not expired, and a signed token is never in the log's line.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <jwt.h>

#include "page_protocol.h"
#include "page_tokens.h"

namespace {

const char kPublicKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEyPS/K2ROL3/iMkN/ArGmNHjfVwJN\n"
    "yUegV8hNTTOjwLzWpH4ia8shljL4ne5nwkQbaVEFdsTkJtMnF1jNIINpRg==\n"
    "-----END PUBLIC KEY-----\n";
const char kSecret[] = "fuzzing-secret-of-thirty-two-bytes!!";
// A moment before the seeds expire (2100), after the expired one's.
const int64_t kNow = 1800000000;

}  // namespace

struct PageTokenHarness {
    PageTokenHarness() {
        tokens.m_enabled = true;
        tokens.m_public_key = kPublicKey;
        tokens.m_public_alg = JWT_ALG_ES256;
        tokens.m_secret = kSecret;
        tokens.m_audience = "till-17";
    }
    PageTokens tokens;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PageTokenHarness harness;
    const std::string message(reinterpret_cast<const char*>(data), size);
    const PageRequest request = ReadPageRequest(message.data(), message.size(), message.size());
    const TokenVerdict verdict = harness.tokens.Check(request.token, kNow);
    // A signed token's own shape (base64url, two dots, a JSON header): never
    // in a log line, wherever in the message it stands.
    const bool signed_token = request.token.compare(0, 3, "eyJ") == 0 &&
                              std::count(request.token.begin(), request.token.end(), '.') == 2 &&
                              request.token.find_first_not_of(
                                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                  "0123456789-_.") == std::string::npos;
    if (verdict.reason.empty() != verdict.why.empty() ||
        (verdict.reason.empty() && verdict.expires <= kNow) ||
        // Reasons are the daemon's own few words: none carries the token.
        verdict.why.size() > 80 ||
        (signed_token && WithoutTokens(message).find(request.token) != std::string::npos)) {
        std::abort();
    }
    return 0;
}
