// labels: threads
// The HTTP client's authorisation with no server: the Basic and Digest
// texts against independent encoders and digests, their bounds, and the
// Digest challenge's reading.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "COMMON.h"
#include "http_client.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::http::kPassword;
using dvrtest::http::kRealm;
using dvrtest::http::kUser;
using dvrtest::http::make_auth;
using dvrtest::http::md5hex;

TEST(HttpHeader, DigestChallengeFieldsAreReadAndMissingOnesKept)
{
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
    std::strcpy(a.opaque, "old-opaque");
    const char *apache_like = "HTTP/1.1 401 Unauthorized\r\n"
                              "WWW-Authenticate: Digest realm=\"board realm\", "
                              "nonce=\"TeqYEEJiBgA=e4df4c\", algorithm=MD5, qop=\"auth\"\r\n"
                              "Content-Length: 0\r\n\r\n";
    EXPECT_EQ(COM_GetDigestStringInBuf(apache_like, &a), 0);
    EXPECT_STREQ(a.realm, "board realm");
    EXPECT_STREQ(a.nonce, "TeqYEEJiBgA=e4df4c");
    EXPECT_STREQ(a.qop, "auth");
    EXPECT_STREQ(a.opaque, "old-opaque");

    COM_HTTP_AUTH b = make_auth(COM_HTTP_AUTH_DIGEST);
    EXPECT_EQ(COM_GetDigestStringInBuf("HTTP/1.1 401 x\r\nwww-authenticate: digest "
                                       "REALM=\"r\",Nonce=\"n1\",opaque=\"op\"\r\n\r\n",
                                       &b),
              0);
    EXPECT_STREQ(b.realm, "r");
    EXPECT_STREQ(b.nonce, "n1");
    EXPECT_STREQ(b.opaque, "op");
    EXPECT_STREQ(b.qop, "");

    COM_HTTP_AUTH c = make_auth(COM_HTTP_AUTH_DIGEST);
    EXPECT_EQ(COM_GetDigestStringInBuf("HTTP/1.1 401 x\r\nWWW-Authenticate: Basic realm=\"r\"\r\n\r\n", &c),
              -1);
    EXPECT_STREQ(c.realm, "");
    EXPECT_EQ(COM_GetDigestStringInBuf(nullptr, &c), -1);
}

TEST(HttpAuthText, NoneAndBasic)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("base64");
    char out[512];
    EXPECT_EQ(COM_GenHttpAuthStr("GET", "h.test/x", nullptr, out), 0);
    EXPECT_STREQ(out, "\r\n");
    COM_HTTP_AUTH none = make_auth(7);
    COM_GenHttpAuthStr("GET", "h.test/x", &none, out);
    EXPECT_STREQ(out, "\r\n");

    COM_HTTP_AUTH basic = make_auth(COM_HTTP_AUTH_BASIC, "user", "secret");
    int n = COM_GenHttpAuthStr("GET", "h.test/x", &basic, out);
    EXPECT_STREQ(out, "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n");
    EXPECT_EQ(n, static_cast<int>(std::strlen(out)));

    // Fields filled to their last byte, without a terminator, are still
    // read within their arrays.
    COM_HTTP_AUTH full = make_auth(COM_HTTP_AUTH_BASIC);
    std::memset(full.username, 'u', sizeof full.username);
    std::memset(full.password, 'p', sizeof full.password);
    ASSERT_GT(COM_GenHttpAuthStr("GET", "h.test/x", &full, out), 0);
    std::string expected_pair = std::string(28, 'u') + ":" + std::string(32, 'p');
    auto b64 = dvrtest::run({"/usr/bin/base64", "-w0"}, {}, &expected_pair);
    EXPECT_EQ(std::string(out), "Authorization: Basic " + b64.out + "\r\n\r\n");
}

TEST(HttpAuthText, DigestLinesMatchIndependentDigests)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("md5sum");
    struct Case {
        const char *qop;
        const char *opaque;
        const char *method;
        const char *url;
    } cases[] = {
        {"auth", "", "GET", "h.test/dir/index.html?a=1"},
        {"auth,auth-int", "5ccc069c403ebaf9", "POST", "h.test:8080/cgi"},
        {"", "", "GET", "h.test"}, // short form; no path means "/"
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
        std::strcpy(a.realm, kRealm);
        std::strcpy(a.nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
        std::strcpy(a.qop, c.qop);
        std::strcpy(a.opaque, c.opaque);
        char out[512];
        int n = COM_GenHttpAuthStr(c.method, c.url, &a, out);
        EXPECT_EQ(n, static_cast<int>(std::strlen(out)));

        const char *slash = std::strchr(c.url, '/');
        std::string uri = slash ? slash : "/";
        std::string ha1 = md5hex(std::string(kUser) + ":" + kRealm + ":" + kPassword);
        std::string ha2 = md5hex(std::string(c.method) + ":" + uri);
        std::string expected = "Authorization: Digest username=\"" + std::string(kUser) +
                               "\",realm=\"" + kRealm + "\",nonce=\"" + a.nonce + "\",uri=\"" + uri +
                               "\",";
        if (c.qop[0] == '\0') {
            std::string response = md5hex(ha1 + ":" + a.nonce + ":" + ha2);
            expected += "response=\"" + response + "\"\r\n\r\n";
        } else {
            // The client nonce is random: taken from the record.
            std::string cnonce(a.cnonce, strnlen(a.cnonce, sizeof a.cnonce));
            EXPECT_EQ(cnonce.size(), 32u);
            std::string response = md5hex(ha1 + ":" + a.nonce + ":00000001:" + cnonce + ":auth:" + ha2);
            expected += "cnonce=\"" + cnonce + "\",nc=\"00000001\",algorithms=\"MD5\",response=\"" +
                        response + "\",qop=\"auth\"";
            if (c.opaque[0])
                expected += ",opaque=\"" + std::string(c.opaque) + "\"";
            expected += "\r\n\r\n";
            EXPECT_STREQ(a.nc, "00000001");
        }
        EXPECT_EQ(std::string(out), expected);
        EXPECT_EQ(std::string(a.ha1), ha1);
        EXPECT_EQ(std::string(a.ha2), ha2);
    }
}

TEST(HttpAuthText, OverlongDigestIsRefused)
{
    char out[512];
    // A path of 256 characters: refused before any challenge is fetched
    // (the host would not even resolve).
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
    std::string url = "nowhere.invalid/" + std::string(255, 'p');
    CaptureStdout cap;
    EXPECT_EQ(COM_GenHttpAuthStr("GET", url.c_str(), &a, out), -1);
    std::string text = cap.take();
    EXPECT_NE(text.find("buffer overflow : (len, limit) = (257, 256)"), std::string::npos) << text;
    EXPECT_EQ(text.find("DNS"), std::string::npos) << text;
    EXPECT_STREQ(out, "");

    // 255 characters are accepted.
    std::strcpy(a.nonce, "n");
    std::strcpy(a.realm, "r");
    url.pop_back();
    EXPECT_GT(COM_GenHttpAuthStr("GET", url.c_str(), &a, out), 0);

    // Long challenge values with a long path no longer fit 512 bytes.
    std::memset(a.realm, 'r', sizeof a.realm - 1);
    std::memset(a.nonce, 'n', sizeof a.nonce - 1);
    std::memset(a.opaque, 'o', sizeof a.opaque - 1);
    std::strcpy(a.qop, "auth");
    CaptureStdout cap2;
    EXPECT_EQ(COM_GenHttpAuthStr("GET", url.c_str(), &a, out), -1);
    EXPECT_NE(cap2.take().find("buffer overflow : (len, limit) = ("), std::string::npos);
    EXPECT_STREQ(out, "");
}

TEST(HttpAuthText, ChallengeWithLineBreaksIsRefused)
{
    // Each value of the challenge in turn carries a line of its own.
    for (const char *value : {"realm", "nonce", "opaque", "qop"}) {
        SCOPED_TRACE(value);
        std::string challenge = "WWW-Authenticate: Digest realm=\"r\", qop=\"auth\", nonce=\"n\", opaque=\"o\"";
        std::string key = std::string(value) + "=\"";
        challenge.insert(challenge.find(key) + key.size(), "x\r\nX-Injected: 1\r\n");
        COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
        CaptureStdout cap;
        EXPECT_EQ(COM_GetDigestStringInBuf(challenge.c_str(), &a), -1);
        EXPECT_NE(cap.take().find(std::string("CR or LF in the challenge's ") + value + " : challenge refused\n"),
                  std::string::npos);
        EXPECT_STREQ(a.nonce, "");
    }

    // A record whose values were set by hand is refused as well.
    COM_HTTP_AUTH b = make_auth(COM_HTTP_AUTH_DIGEST);
    std::strcpy(b.nonce, "n\r\nX-Injected: 1");
    char text[512];
    CaptureStdout cap2;
    EXPECT_EQ(COM_GenHttpAuthStr("GET", "h.test/x", &b, text), -1);
    cap2.take();
    EXPECT_STREQ(text, "");
}
