// Stream socket helpers: a connection attempt bounded by a deadline and a
// send of every byte. C++ only, never installed.
#ifndef DVRPLAT_SOCKET_H
#define DVRPLAT_SOCKET_H

#include <netinet/in.h>

#include "deadline_wait.h"

namespace dvr {

// Connects sock to server within the deadline: the attempt is made
// without blocking and waited for, then the socket is blocking again.
// 0, or -1 with errno set (ETIMEDOUT when the deadline passed first).
// Not noexcept: the wait is a cancellation point.
int connect_within(int sock, const sockaddr_in &server, const Deadline &deadline);

// Sends the len bytes at buf (MSG_NOSIGNAL), again from where the last
// send stopped (an interrupted send is tried again), until all are sent or
// a send returns 0 or less. Returns the number of bytes not sent: 0 for a
// len of 0 or less, len for a null buf. Not noexcept: a send is a
// cancellation point.
int send_all(int sock, const char *buf, int len);

} // namespace dvr

#endif
