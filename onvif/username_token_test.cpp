// WS-UsernameToken: a digest computed elsewhere is accepted; a wrong
// password, a token without nonce or time, a stale or future time and a
// replayed nonce are not.
#include <gtest/gtest.h>

#include "crypto.h"
#include "onvif_test_support.h"
#include "soap_message.h"
#include "username_token.h"

using namespace onvif;

namespace {

const char kDigest[] =
    "http://docs.oasis-open.org/wss/2004/01/"
    "oasis-200401-wss-username-token-profile-1.0#PasswordDigest";

UsernameToken token(const std::string &user, const std::string &password, const std::string &nonce,
                    const std::string &created) {
    UsernameToken t;
    t.present = true;
    t.username = user;
    t.password = password;
    t.passwordType = kDigest;
    t.nonce = nonce;
    t.created = created;
    return t;
}

time_t at(const char *text) {
    time_t t = 0;
    EXPECT_TRUE(parseDateTime(text, t)) << text;
    return t;
}

}  // namespace

TEST(OnvifUsernameToken, KnownDigestIsAccepted) {
    // Nonce 00..0f, created 2026-12-08T13:00:00Z, password "secret": digest
    // computed with another SHA-1 implementation.
    TokenVerifier verifier({{"admin", "secret"}}, 300);
    std::string user;
    EXPECT_EQ(TokenVerdict::Accepted,
              verifier.verify(token("admin", "c5lKVLp15iUK0TsRbptGO22Oews=",
                                    "AAECAwQFBgcICQoLDA0ODw==", "2026-12-08T13:00:00Z"),
                              at("2026-12-08T13:01:00Z"), &user));
    EXPECT_EQ("admin", user);
}

TEST(OnvifUsernameToken, WrongOrIncompleteTokensAreRefused) {
    TokenVerifier verifier({{"admin", "secret"}, {"viewer", "other"}}, 300);
    const time_t now = at("2026-12-08T13:01:00Z");
    const char *nonce = "AAECAwQFBgcICQoLDA0ODw==", *created = "2026-12-08T13:00:00Z";
    const char *digest = "c5lKVLp15iUK0TsRbptGO22Oews=";
    // The right digest under another user's name is that user's wrong password.
    EXPECT_EQ(TokenVerdict::Rejected,
              verifier.verify(token("viewer", digest, nonce, created), now));
    EXPECT_EQ(TokenVerdict::Rejected,
              verifier.verify(token("nobody", digest, nonce, created), now));
    EXPECT_EQ(TokenVerdict::Rejected,
              verifier.verify(token("admin", "AAAAAAAAAAAAAAAAAAAAAAAAAAA=", nonce, created), now));
    EXPECT_EQ(TokenVerdict::Malformed, verifier.verify(token("admin", digest, "", created), now));
    EXPECT_EQ(TokenVerdict::Malformed, verifier.verify(token("admin", digest, nonce, ""), now));
    EXPECT_EQ(TokenVerdict::Malformed,
              verifier.verify(token("admin", digest, "not base64!", created), now));
    EXPECT_EQ(TokenVerdict::Malformed,
              verifier.verify(token("admin", digest, nonce, "2026-12-08T13:00:00"), now));
    UsernameToken text = token("admin", "secret", nonce, created);
    text.passwordType =
        "http://docs.oasis-open.org/wss/2004/01/"
        "oasis-200401-wss-username-token-profile-1.0#PasswordText";
    EXPECT_EQ(TokenVerdict::Rejected, verifier.verify(text, now));
    EXPECT_EQ(TokenVerdict::Malformed, verifier.verify(UsernameToken{}, now));
    // After all those refusals the genuine token still goes through once.
    EXPECT_EQ(TokenVerdict::Accepted, verifier.verify(token("admin", digest, nonce, created), now));
}

TEST(OnvifUsernameToken, CreatedMustLieWithinTheWindow) {
    TokenVerifier verifier({{"admin", "secret"}}, 300);
    const time_t created = at("2026-12-08T13:00:00Z");
    const char *nonce = "AAECAwQFBgcICQoLDA0ODw==", *digest = "c5lKVLp15iUK0TsRbptGO22Oews=";
    EXPECT_EQ(
        TokenVerdict::Stale,
        verifier.verify(token("admin", digest, nonce, "2026-12-08T13:00:00Z"), created + 301));
    EXPECT_EQ(
        TokenVerdict::Stale,
        verifier.verify(token("admin", digest, nonce, "2026-12-08T13:00:00Z"), created - 301));
    EXPECT_EQ(
        TokenVerdict::Accepted,
        verifier.verify(token("admin", digest, nonce, "2026-12-08T13:00:00Z"), created - 299));
}

TEST(OnvifUsernameToken, ANonceIsAcceptedOnce) {
    TokenVerifier verifier({{"admin", "secret"}}, 300);
    const time_t now = time(nullptr);
    std::string first = onvif_test::request("", onvif_test::securityHeader("admin", "secret", now));
    SoapMessage m;
    ASSERT_EQ(XmlError::None, m.load(first.data(), first.size()));
    UsernameToken t = findUsernameToken(m.header());
    ASSERT_TRUE(t.present);
    EXPECT_EQ(TokenVerdict::Accepted, verifier.verify(t, now));
    EXPECT_EQ(TokenVerdict::Replayed, verifier.verify(t, now + 1));
    // Still refused until it could no longer pass the time check.
    EXPECT_EQ(TokenVerdict::Replayed, verifier.verify(t, now + 299));
    EXPECT_EQ(TokenVerdict::Stale, verifier.verify(t, now + 301));
}

TEST(OnvifUsernameToken, RememberedNoncesAreBounded) {
    TokenVerifier verifier({{"admin", "secret"}}, 300, 4);
    const time_t now = time(nullptr);
    std::vector<UsernameToken> tokens;
    for (int i = 0; i < 6; ++i) {
        std::string text =
            onvif_test::request("", onvif_test::securityHeader("admin", "secret", now));
        SoapMessage m;
        ASSERT_EQ(XmlError::None, m.load(text.data(), text.size()));
        tokens.push_back(findUsernameToken(m.header()));
        EXPECT_EQ(TokenVerdict::Accepted, verifier.verify(tokens.back(), now));
    }
    // The newest four are remembered.
    EXPECT_EQ(TokenVerdict::Replayed, verifier.verify(tokens[5], now));
    EXPECT_EQ(TokenVerdict::Replayed, verifier.verify(tokens[2], now));
}

TEST(OnvifUsernameToken, DateTimesWithZones) {
    EXPECT_EQ(at("2026-12-08T13:00:00Z"), at("2026-12-08T14:00:00+01:00"));
    EXPECT_EQ(at("2026-12-08T13:00:00Z"), at("2026-12-08T13:00:00.999Z"));
    time_t t;
    for (const char *bad :
         {"2026-12-08 13:00:00Z", "2026-13-08T13:00:00Z", "2026-12-08T13:00:00+1:00",
          "2026-12-08T13:00:00Zjunk", "2026-12-08T13:00:00.Z", "1969-12-31T23:59:59Z"})
        EXPECT_FALSE(parseDateTime(bad, t)) << bad;
}
