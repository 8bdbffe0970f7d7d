// The HTTP client's authorisation: the Basic and Digest texts that close
// a request's header, the Digest challenge's fetch and reading, and the
// client nonce.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "boundary.h"
#include "hex.h"
#include "http_internal.h"
#include "random.h"
#include "report.h"
#include "text.h"

static_assert(sizeof(COM_HTTP_AUTH) == 528);
static_assert(offsetof(COM_HTTP_AUTH, mode) == 0);
static_assert(offsetof(COM_HTTP_AUTH, username) == 4);
static_assert(offsetof(COM_HTTP_AUTH, password) == 32);
static_assert(offsetof(COM_HTTP_AUTH, realm) == 64);
static_assert(offsetof(COM_HTTP_AUTH, qop) == 144);
static_assert(offsetof(COM_HTTP_AUTH, nonce) == 160);
static_assert(offsetof(COM_HTTP_AUTH, opaque) == 240);
static_assert(offsetof(COM_HTTP_AUTH, nc) == 320);
static_assert(offsetof(COM_HTTP_AUTH, ha1) == 336);
static_assert(offsetof(COM_HTTP_AUTH, cnonce) == 384);
static_assert(offsetof(COM_HTTP_AUTH, ha2) == 432);
static_assert(offsetof(COM_HTTP_AUTH, response) == 480);

namespace dvr {

namespace {

constexpr const char *kNonceCount = "00000001";
constexpr const char *kChallengeHeader = "WWW-Authenticate: Digest";
constexpr size_t kDigestTextSize = 32;

template <size_t N>
void store_digest(char (&f)[N], const char *input)
{
    static_assert(N > kDigestTextSize);
    COM_MakeBufMD5(f, input);
    f[kDigestTextSize] = '\0';
}

// Writes 32 lowercase hexadecimal digits from the system's random source
// into a digest field. False when the source fails.
template <size_t N>
bool random_hex(char (&f)[N])
{
    static_assert(N > kDigestTextSize);
    unsigned char bytes[kDigestTextSize / 2];
    if (!random_fill(bytes, sizeof bytes))
        return false;
    write_hex(f, bytes, sizeof bytes);
    f[kDigestTextSize] = '\0';
    return true;
}

// Restores Digest mode and frees the challenge response however the fetch
// ends (thread cancellation included).
struct ChallengeScope {
    COM_HTTP_AUTH *auth;
    char *content = nullptr;
    ~ChallengeScope()
    {
        std::free(content);
        auth->mode = COM_HTTP_AUTH_DIGEST;
    }
};

// The Basic line: user name and password, Base64-encoded (the pair cut
// at 79 characters).
void basic_line(const COM_HTTP_AUTH *auth, FixedText &text)
{
    char pair[80];
    int n = std::snprintf(pair, sizeof pair, "%.*s:%.*s",
                          static_cast<int>(auth_field(auth->username).size()), auth->username,
                          static_cast<int>(auth_field(auth->password).size()), auth->password);
    if (n < 0)
        n = 0;
    if (static_cast<size_t>(n) >= sizeof pair)
        n = sizeof pair - 1;
    char encoded[4 * ((sizeof pair + 2) / 3) + 1];
    COM_Base64Encode(encoded, reinterpret_cast<const unsigned char *>(pair), n);
    text.add("Authorization: Basic %s\r\n\r\n", encoded);
}

// The Digest line for method and path from the challenge in auth; the
// record's ha1, ha2, response and (with qop) nc and a fresh cnonce are
// written. False (reported) when no client nonce could be drawn.
bool digest_line(const char *method, std::string_view path, COM_HTTP_AUTH *auth, FixedText &text,
                 const Reporter &report)
{
    const std::string_view user = auth_field(auth->username);
    const std::string_view pass = auth_field(auth->password);
    const std::string_view realm = auth_field(auth->realm);
    const std::string_view nonce = auth_field(auth->nonce);
    const std::string_view opaque = auth_field(auth->opaque);
    std::string_view qop = auth_field(auth->qop);
    const bool with_qop = !qop.empty();
    if (size_t comma = qop.find(','); comma != std::string_view::npos)
        qop = qop.substr(0, comma);

    // Sized for the longest fields the record can hold.
    char input[512];
    std::snprintf(input, sizeof input, "%.*s:%.*s:%.*s", static_cast<int>(user.size()), user.data(),
                  static_cast<int>(realm.size()), realm.data(), static_cast<int>(pass.size()),
                  pass.data());
    store_digest(auth->ha1, input);
    std::snprintf(input, sizeof input, "%s:%.*s", method ? method : "GET",
                  static_cast<int>(path.size()), path.data());
    store_digest(auth->ha2, input);

#define AUTH_FIELD(sv) static_cast<int>((sv).size()), (sv).data()
    if (!with_qop) {
        std::snprintf(input, sizeof input, "%s:%.*s:%s", auth->ha1, AUTH_FIELD(nonce), auth->ha2);
        store_digest(auth->response, input);
        text.add("Authorization: Digest username=\"%.*s\",realm=\"%.*s\",nonce=\"%.*s\",uri=\"%.*s\","
                 "response=\"%s\"\r\n\r\n",
                 AUTH_FIELD(user), AUTH_FIELD(realm), AUTH_FIELD(nonce), AUTH_FIELD(path),
                 auth->response);
    } else {
        // A fresh client nonce for every request.
        if (!random_hex(auth->cnonce)) {
            DVR_REPORT_TO(report, "getrandom() error : %s\n", std::strerror(errno));
            return false;
        }
        copy_cut(auth->nc, sizeof auth->nc, kNonceCount);
        std::snprintf(input, sizeof input, "%s:%.*s:%s:%s:%.*s:%s", auth->ha1, AUTH_FIELD(nonce),
                      auth->nc, auth->cnonce, AUTH_FIELD(qop), auth->ha2);
        store_digest(auth->response, input);
        text.add("Authorization: Digest username=\"%.*s\",realm=\"%.*s\",nonce=\"%.*s\",uri=\"%.*s\","
                 "cnonce=\"%s\",nc=\"%s\",algorithms=\"MD5\",response=\"%s\",qop=\"%.*s\"",
                 AUTH_FIELD(user), AUTH_FIELD(realm), AUTH_FIELD(nonce), AUTH_FIELD(path),
                 auth->cnonce, auth->nc, auth->response, AUTH_FIELD(qop));
        // An opaque the server did not send is left out: an empty one is
        // refused as a wrong opaque.
        if (!opaque.empty())
            text.add(",opaque=\"%.*s\"", AUTH_FIELD(opaque));
        text.add("\r\n\r\n");
    }
#undef AUTH_FIELD
    return true;
}

} // namespace

int http_auth_text(const char *method, const HttpUrl &url, COM_HTTP_AUTH *auth, char *out)
{
    // Reports read as the public function's, whoever asks for the text.
    const Reporter report(kHttpSource, "COM_GenHttpAuthStr");
    std::memset(out, 0, kHttpAuthTextSize);
    if (!auth || (auth->mode != COM_HTTP_AUTH_BASIC && auth->mode != COM_HTTP_AUTH_DIGEST)) {
        std::memcpy(out, "\r\n", 3);
        return 0;
    }
    if (!auth_safe(auth, report) || !line_safe("URL", url.text, report)) {
        out[0] = '\0';
        return -1;
    }
    FixedText text(out, kHttpAuthTextSize);

    if (auth->mode == COM_HTTP_AUTH_BASIC) {
        basic_line(auth, text);
        return static_cast<int>(text.length());
    }

    // Digest: the path is part of the digested text.
    const std::string_view path = url.request_path();
    if (path.size() > kHttpDigestPathSize - 1) {
        DVR_REPORT_TO(report, kHttpOverflowFormat, http_report_size(path.size() + 1),
                      static_cast<int>(kHttpDigestPathSize));
        out[0] = '\0';
        return -1;
    }
    if (auth->nonce[0] == '\0')
        COM_GetDigestString(url.text, auth);
    if (!auth_safe(auth, report)) {
        out[0] = '\0';
        return -1;
    }
    if (auth->nonce[0] == '\0') {
        std::memcpy(out, "\r\n", 3);
        return 0;
    }
    if (!digest_line(method, path, auth, text, report)) {
        out[0] = '\0';
        return -1;
    }
    if (!text.fits()) {
        DVR_REPORT_TO(report, kHttpOverflowFormat, http_report_size(text.length() + 1),
                      static_cast<int>(kHttpAuthTextSize));
        text.clear();
        return -1;
    }
    return static_cast<int>(text.length());
}

} // namespace dvr

extern "C" int COM_GenHttpAuthStr(const char *method, const char *url, COM_HTTP_AUTH *auth,
                                  char *out)
try {
    if (!out) {
        COM_REPORT("invalid argument : output is NULL\n");
        return -1;
    }
    return dvr::http_auth_text(method, dvr::split_url(url), auth, out);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetDigestString(const char *url, COM_HTTP_AUTH *auth)
try {
    if (!auth) {
        COM_REPORT("invalid argument : auth is NULL\n");
        return -1;
    }
    dvr::ChallengeScope scope{auth};
    // No authorisation on the challenge request itself: it cannot recurse.
    auth->mode = COM_HTTP_AUTH_NONE;
    int r = COM_SubGetPostHttpContent(url, &scope.content, auth, 0, nullptr, 1, nullptr);
    if (r > 0 && scope.content) {
        COM_REPORT("Content(%d): \n=====\n%s\n=====\n", r, scope.content);
        COM_GetDigestStringInBuf(scope.content, auth);
    }
    return r;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetDigestStringInBuf(const char *text, COM_HTTP_AUTH *auth)
try {
    if (!text || !auth)
        return -1;
    const char *challenge = COM_StrNCaseStr(text, dvr::kChallengeHeader);
    if (!challenge)
        return -1;
    COM_GetStrInDoubleQuotes(challenge, "realm=", auth->realm, sizeof auth->realm);
    COM_GetStrInDoubleQuotes(challenge, "qop=", auth->qop, sizeof auth->qop);
    COM_GetStrInDoubleQuotes(challenge, "nonce=", auth->nonce, sizeof auth->nonce);
    COM_GetStrInDoubleQuotes(challenge, "opaque=", auth->opaque, sizeof auth->opaque);
    // A value holding CR or LF would add lines to every authorised
    // request: the challenge is refused, and with no nonce none is sent.
    const struct {
        const char *what;
        char *f;
        size_t size;
    } values[] = {{"realm", auth->realm, sizeof auth->realm},
                  {"nonce", auth->nonce, sizeof auth->nonce},
                  {"opaque", auth->opaque, sizeof auth->opaque},
                  {"qop", auth->qop, sizeof auth->qop}};
    bool refused = false;
    for (const auto &v : values) {
        if (dvr::breaks_line(std::string_view(v.f, strnlen(v.f, v.size)))) {
            COM_REPORT("CR or LF in the challenge's %s : challenge refused\n", v.what);
            refused = true;
        }
    }
    if (refused) {
        for (const auto &v : values)
            std::memset(v.f, 0, v.size);
        return -1;
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
