// A page token's claims, once its signature checked: when it is valid, for
// whom, and for which scanners.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "page_tokens.h"

namespace {

TEST(PageTokens, ClaimsSayWhenAndForWhomATokenIsValid) {
    const int64_t now = 1800000000;
    auto claims = [now](int64_t exp_in) {
        TokenClaims c;
        c.has_exp = true;
        c.exp = now + exp_in;
        return c;
    };
    TokenClaims no_exp;
    TokenClaims nbf_past = claims(60), nbf_ahead = claims(60), nbf_now = claims(60);
    nbf_past.has_nbf = nbf_ahead.has_nbf = nbf_now.has_nbf = true;
    nbf_past.nbf = now - 1, nbf_ahead.nbf = now + 1, nbf_now.nbf = now;
    TokenClaims iat_skew = claims(60), iat_ahead = claims(60);
    iat_skew.has_iat = iat_ahead.has_iat = true;
    iat_skew.iat = now + 60, iat_ahead.iat = now + 61;
    TokenClaims aud = claims(60), auds = claims(60), other_aud = claims(60);
    aud.has_aud = auds.has_aud = other_aud.has_aud = true;
    aud.aud = {"till-17"}, auds.aud = {"till-9", "till-17"}, other_aud.aud = {"till-18"};
    TokenClaims sources = claims(60), bad_sources = claims(60);
    sources.has_sources = bad_sources.has_sources = true;
    sources.sources = {"payment"};
    bad_sources.sources_ok = false;
    const struct {
        const char* name;
        TokenClaims claims;
        std::string audience;
        std::string reason;
    } cases[] = {
        {"valid", claims(1), "", ""},
        {"expires now", claims(0), "", "expired"},
        {"no exp", no_exp, "", "malformed"},
        {"nbf past", nbf_past, "", ""},
        {"nbf now", nbf_now, "", ""},
        {"nbf ahead", nbf_ahead, "", "not_yet_valid"},
        {"iat within the skew", iat_skew, "", ""},
        {"iat beyond it", iat_ahead, "", "not_yet_valid"},
        {"aud", aud, "till-17", ""},
        {"aud among several", auds, "till-17", ""},
        {"another aud", other_aud, "till-17", "audience"},
        {"no aud where one is asked", claims(60), "till-17", "audience"},
        {"aud where none is asked", other_aud, "", ""},
        {"sources", sources, "", ""},
        {"sources not names", bad_sources, "", "malformed"},
    };
    for (const auto& c : cases) {
        const TokenVerdict verdict = CheckClaims(c.claims, now, c.audience);
        EXPECT_EQ(verdict.reason, c.reason) << c.name;
        EXPECT_EQ(verdict.reason.empty(), verdict.why.empty()) << c.name;
        if (verdict.reason.empty()) {
            EXPECT_EQ(verdict.expires, c.claims.exp) << c.name;
            EXPECT_EQ(verdict.limited, c.claims.has_sources) << c.name;
            EXPECT_EQ(verdict.sources, c.claims.sources) << c.name;
        }
    }
}

}  // namespace
