// A page token's claims, once its signature checked: when it is valid, for
// whom, and for which scanners.
#include <gtest/gtest.h>

#include <string>

#include "page_tokens.h"

namespace {

constexpr int64_t kNow = 1800000000;

TEST(PageTokens, ClaimsSayWhenAndForWhomATokenIsValid) {
    using Change = void (*)(TokenClaims&);
    // Each row changes claims that expire in 60 s.
    const struct {
        const char* name;
        Change change;
        std::string audience;
        std::string reason;
    } cases[] = {
        {"valid", [](TokenClaims& c) { c.exp = kNow + 1; }, "", ""},
        {"expires now", [](TokenClaims& c) { c.exp = kNow; }, "", "expired"},
        {"no exp", [](TokenClaims& c) { c.has_exp = false; }, "", "malformed"},
        {"nbf now", [](TokenClaims& c) { c.has_nbf = true, c.nbf = kNow; }, "", ""},
        {"nbf ahead", [](TokenClaims& c) { c.has_nbf = true, c.nbf = kNow + 1; }, "",
         "not_yet_valid"},
        {"iat within the skew", [](TokenClaims& c) { c.has_iat = true, c.iat = kNow + 60; }, "",
         ""},
        {"iat beyond it", [](TokenClaims& c) { c.has_iat = true, c.iat = kNow + 61; }, "",
         "not_yet_valid"},
        {"aud among several",
         [](TokenClaims& c) {
             c.has_aud = true, c.aud = {"till-9", "till-17"};
         },
         "till-17", ""},
        {"another aud", [](TokenClaims& c) { c.has_aud = true, c.aud = {"till-18"}; }, "till-17",
         "audience"},
        {"no aud where one is asked", [](TokenClaims&) {}, "till-17", "audience"},
        {"aud where none is asked", [](TokenClaims& c) { c.has_aud = true, c.aud = {"till-18"}; },
         "", ""},
        {"sources", [](TokenClaims& c) { c.has_sources = true, c.sources = {"payment"}; }, "", ""},
        {"sources not names", [](TokenClaims& c) { c.has_sources = true, c.sources_ok = false; },
         "", "malformed"},
        // An empty list would read as no limit: every scanner.
        {"sources that allow none", [](TokenClaims& c) { c.has_sources = true; }, "", "malformed"},
        {"a time as text", [](TokenClaims& c) { c.times_ok = false; }, "", "malformed"},
    };
    for (const auto& c : cases) {
        TokenClaims claims;
        claims.has_exp = true;
        claims.exp = kNow + 60;
        c.change(claims);
        const TokenVerdict verdict = CheckClaims(claims, kNow, c.audience);
        EXPECT_EQ(verdict.reason, c.reason) << c.name;
        EXPECT_EQ(verdict.reason.empty(), verdict.why.empty()) << c.name;
        if (verdict.reason.empty()) {
            EXPECT_EQ(verdict.expires, claims.exp) << c.name;
            EXPECT_EQ(verdict.limited, claims.has_sources) << c.name;
            EXPECT_EQ(verdict.sources, claims.sources) << c.name;
        }
    }
}

}  // namespace
