// labels: threads
// The HTTP client's request side with no server: the URL taken apart and
// the send of every byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "COMMON.h"
#include "http_client.h"
#include "http_internal.h"
#include "test_support.h"

using dvrtest::http::random_bytes;

TEST(HttpSend, SendsEverythingOrSaysHowMuchIsLeft)
{
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::string data = random_bytes(2 * 1024 * 1024, 3);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = ::read(sv[1], buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_EQ(COM_SendTcpPackage(sv[0], data.data(), static_cast<int>(data.size())), 0);
    ::close(sv[0]);
    reader.join();
    ::close(sv[1]);
    EXPECT_TRUE(got == data);

    // A closed peer: everything is left, and no SIGPIPE ends the test.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::close(sv[1]);
    EXPECT_EQ(COM_SendTcpPackage(sv[0], "abc", 3), 3);
    ::close(sv[0]);
    EXPECT_EQ(COM_SendTcpPackage(-1, "abc", 0), 0);
}

// The URL is taken apart once, for the lookup, the host line, the port
// and the path the request asks for (and Digest digests).
TEST(HttpUrl, HostPortAndPath)
{
    const std::string host79(79, 'h'), host80(80, 'h');
    struct Case {
        std::string url;
        std::string host; // empty: host[:port] does not fit the host field
        int port;
        const char *path; // nullptr: none, "/" is asked
    } cases[] = {
        {"h.test/a/b?x=1", "h.test", 80, "/a/b?x=1"},
        {"h.test:8080/cgi", "h.test", 8080, "/cgi"},
        {"h.test:8080", "h.test", 8080, nullptr},
        {"h.test", "h.test", 80, nullptr},
        {"h.test/a:99", "h.test", 80, "/a:99"},                     // a colon in the path is no port
        {"h.test:65616/", "h.test", 80, "/"},                       // the port modulo 65536
        {"h.test:99999999999999999999/", "h.test", 65535, "/"},     // saturated, then modulo 65536
        {"http://h.test/x", "http", 0, "//h.test/x"},               // no scheme is understood
        {host79 + "/x", host79, 80, "/x"},
        {host80 + "/x", "", 80, "/x"},
        {std::string(76, 'h') + ":808", "", 80, nullptr},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.url);
        const dvr::HttpUrl u = dvr::split_url(k.url.c_str());
        EXPECT_EQ(u.host_fits(), !k.host.empty());
        EXPECT_EQ(std::string(u.host), k.host);
        EXPECT_EQ(u.port, k.port);
        if (k.path) {
            ASSERT_NE(u.path, nullptr);
            EXPECT_STREQ(u.path, k.path);
            EXPECT_EQ(u.request_path(), k.path);
        } else {
            EXPECT_EQ(u.path, nullptr);
            EXPECT_EQ(u.request_path(), "/");
        }
    }
}
