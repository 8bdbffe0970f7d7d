// What the HTTP client's test programs share: the account the tests
// authorise with, an authorisation record, a content block freed at the
// end of a test, independent MD5 texts and random bytes.
#ifndef DVRPLAT_HTTP_CLIENT_TEST_H
#define DVRPLAT_HTTP_CLIENT_TEST_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "COMMON.h"
#include "test_support.h"

namespace dvrtest::http {

inline constexpr const char *kUser = "viewer";
inline constexpr const char *kPassword = "s3cret pass";
inline constexpr const char *kRealm = "board realm";

// MD5 text of s as the system's md5sum computes it.
inline std::string md5hex(const std::string &s)
{
    auto r = dvrtest::run({"/usr/bin/md5sum"}, {}, &s);
    return r.out.substr(0, 32);
}

inline std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

// Frees a content block at the end of a test.
struct Content {
    char *p = nullptr;
    Content() = default;
    Content(const Content &) = delete;
    Content &operator=(const Content &) = delete;
    ~Content() { std::free(p); }
    std::string bytes(int result) const
    {
        return result > 0 && p ? std::string(p, static_cast<size_t>(result - 1)) : std::string();
    }
    void reset()
    {
        std::free(p);
        p = nullptr;
    }
};

inline COM_HTTP_AUTH make_auth(uint32_t mode, const char *user = kUser, const char *password = kPassword)
{
    COM_HTTP_AUTH a;
    std::memset(&a, 0, sizeof a);
    a.mode = mode;
    std::strncpy(a.username, user, sizeof a.username - 1);
    std::strncpy(a.password, password, sizeof a.password - 1);
    return a;
}

} // namespace dvrtest::http

#endif
