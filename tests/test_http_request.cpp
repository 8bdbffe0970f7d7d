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
