// NFS: mounting through the system's mount program, and the unmount
// notice to the server's MOUNT service (program 100005, version 1, UMNT).
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include "DEV.h"
#include "DNS.h"
#include "board_root.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"
#include "text.h"

#ifdef DVRPLAT_HAVE_TIRPC
#include <rpc/rpc.h>
#endif

namespace {

constexpr int kNfsRow = 8;
constexpr char kMountProgram[] = "/bin/mount";
constexpr size_t kCommandSize = 256;
constexpr size_t kFieldSize = 80;     // host and directory of the notice
constexpr unsigned kMountProg = 100005;
constexpr unsigned kMountVers = 1;
constexpr unsigned kMountProcUmnt = 3;
constexpr unsigned kMaxPathLen = 1024;

// The value of option `name` ("addr=") in a comma-separated option text,
// taken only where an option begins (so "mountaddr=" is not "addr=").
bool option_value(std::string_view opts, std::string_view name, std::string_view &value)
{
    size_t pos = 0;
    while (pos <= opts.size()) {
        size_t end = opts.find(',', pos);
        std::string_view opt = opts.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (opt.substr(0, name.size()) == name) {
            value = opt.substr(name.size());
            return true;
        }
        if (end == std::string_view::npos)
            break;
        pos = end + 1;
    }
    return false;
}

} // namespace

extern "C" {

int Dev_NfsMount(const char *src, const char *dst)
try {
    if (!src || !dst) {
        DEV_REPORT("(%p, %p) : Null ptr\n", static_cast<const void *>(src), static_cast<const void *>(dst));
        return -1;
    }
    const char *options = gDevFS[kNfsRow].options ? gDevFS[kNfsRow].options : "";
    // The command line is split at blanks and run as root: an argument
    // holding one, or starting with "-", would hand the mount program
    // options of the caller's choosing. Nothing runs then.
    for (const char *arg : {src, dst, options}) {
        if (!*arg || *arg == '-' || std::strpbrk(arg, " \t\r\n")) {
            DEV_REPORT("refused argument [%.80s] : (%.80s, %.80s)\n", arg, src, dst);
            return -1;
        }
    }
    // The command line as the board runs it must fit its 256 bytes.
    char line[kCommandSize];
    int n = std::snprintf(line, sizeof line, "%s -t nfs -o %s %s %s", kMountProgram, options, src, dst);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) {
        DEV_REPORT("command line longer than %d characters : (%s, %s)\n",
                   static_cast<int>(kCommandSize - 1), src, dst);
        return -1;
    }
    std::string command = dvr::board_path(kMountProgram);
    command += line + (sizeof kMountProgram - 1);
    return COM_System(command.c_str(), nullptr);
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_NfsXdrDir(void *xdrs, char *dir)
try {
#ifdef DVRPLAT_HAVE_TIRPC
    return xdr_string(static_cast<XDR *>(xdrs), &dir, kMaxPathLen);
#else
    (void)xdrs;
    (void)dir;
    return 0;
#endif
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_NfsuMountRPCCall(const char *src, const char *opts)
try {
    int result = 1;
    if (!src)
        return result;
    const std::string_view source(src);
    const size_t colon = source.find(':');
    if (colon == std::string_view::npos)
        return result;

    char host[kFieldSize];
    char dir[kFieldSize];
    if (!dvr::copy_bounded(host, sizeof host, source.substr(0, colon)) ||
        !dvr::copy_bounded(dir, sizeof dir, source.substr(colon + 1))) {
        DEV_REPORT("host or directory longer than %d characters : %s\n", static_cast<int>(kFieldSize - 1), src);
        return result;
    }

    unsigned port = 0;
    bool tcp = false;
    if (opts) {
        const std::string_view o(opts);
        std::string_view value;
        if (option_value(o, "addr=", value) && !dvr::copy_bounded(host, sizeof host, value)) {
            DEV_REPORT("addr= longer than %d characters : %s\n", static_cast<int>(kFieldSize - 1), opts);
            return result;
        }
        if (option_value(o, "mountport=", value) && !value.empty() && value[0] >= '0' && value[0] <= '9') {
            unsigned p = 0;
            for (char c : value) {
                if (c < '0' || c > '9')
                    break;
                p = p * 10 + static_cast<unsigned>(c - '0');
                if (p > 65535)
                    break;
            }
            port = p <= 65535 ? p : 0;
        }
        tcp = o.find("tcp") != std::string_view::npos && o.find("notcp") == std::string_view::npos;
    }

    DNS_ADDR_REC addr[DNS_ADDR_REC_MAX] = {};
    if (DNS_GetA(host, addr) != 0)
        return result;

#ifdef DVRPLAT_HAVE_TIRPC
    struct sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = addr[0].ip;
    server.sin_port = htons(static_cast<uint16_t>(port));

    CLIENT *client = nullptr;
    int sock = RPC_ANYSOCK;
    if (tcp) {
        client = clnttcp_create(&server, kMountProg, kMountVers, &sock, 0, 0);
        if (!client)
            clnt_pcreateerror("Cannot MOUNTPROG RPC (tcp)");
    }
    if (!client) {
        struct timeval retry = {3, 0};
        server.sin_port = htons(static_cast<uint16_t>(port));
        sock = RPC_ANYSOCK;
        client = clntudp_create(&server, kMountProg, kMountVers, retry, &sock);
        if (!client) {
            clnt_pcreateerror("Cannot MOUNTPROG RPC");
            return result;
        }
    }
    // The RPC library opens its socket without close-on-exec: set it at
    // once, so that a child started later does not inherit it. The client
    // and its credentials go however the call ends (it is a cancellation
    // point).
    int client_fd = -1;
    if (clnt_control(client, CLGET_FD, reinterpret_cast<char *>(&client_fd)) && client_fd >= 0)
        ::fcntl(client_fd, F_SETFD, FD_CLOEXEC);
    struct ClientScope {
        CLIENT *client;
        AUTH *credentials = nullptr;
        ~ClientScope()
        {
            dvr::NoCancel guard;
            if (credentials)
                auth_destroy(credentials);
            clnt_destroy(client);
        }
    } scope{client};
    // Without AUTH_UNIX credentials (the library could not build them) the
    // client keeps the null credentials it was created with.
    AUTH *credentials = authunix_create_default();
    scope.credentials = credentials;
    if (credentials)
        client->cl_auth = credentials;
    struct timeval timeout = {20, 0};
    auto coder = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(&Dev_NfsXdrDir));
    auto no_result = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(&xdr_void));
    enum clnt_stat status = clnt_call(client, kMountProcUmnt, coder, reinterpret_cast<caddr_t>(dir),
                                      no_result, nullptr, timeout);
    if (status != RPC_SUCCESS)
        clnt_perror(client, "Bad UMNT RPC");
    else
        result = 0;
#else
    (void)tcp;
    (void)port;
    DEV_REPORT("no RPC library in this build: the server of %s is not told\n", src);
#endif
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

} // extern "C"
