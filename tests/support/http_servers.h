// Real web and name servers for the HTTP client's tests and benchmark:
// Apache httpd (Digest), nginx (Basic) and dnsmasq, each run in the
// foreground by the fixture with a configuration of its own in a temporary
// directory, on loopback, and stopped (or killed with the test process) at
// the end. Header only, so that the benchmark can use it too.
#ifndef DVRPLAT_HTTP_SERVERS_H
#define DVRPLAT_HTTP_SERVERS_H

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dvrtest::http {

inline void put_file(const std::string &path, const std::string &content, mode_t mode = 0644)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    f.close();
    ::chmod(path.c_str(), mode);
}

inline std::string get_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A loopback address of this process's own (127.80.x.y from the pid), so
// that parallel runs never share one.
inline std::string own_loopback()
{
    unsigned pid = static_cast<unsigned>(::getpid());
    return "127.80." + std::to_string((pid / 250) % 250 + 1) + "." + std::to_string(pid % 250 + 1);
}

// A TCP port that is free on addr right now (another program may take it
// before a server binds it: start_on_free_port tries again then).
inline int free_port(const std::string &addr)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    socklen_t len = sizeof sa;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    ::close(fd);
    return port;
}

inline bool tcp_accepts(const std::string &addr, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

// A server program in the foreground. It gets SIGKILL if the test process
// dies first, and SIGTERM (then SIGKILL) when stopped.
class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;
    ~ServerProcess() { stop(); }

    // Starts argv with standard output and error into log; then waits until
    // addr:port accepts TCP connections (at most 10 s).
    bool start(const std::vector<std::string> &argv, const std::string &log, const std::string &addr,
               int port)
    {
        stop(); // an earlier attempt that never answered
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0)
            return false;
        pid_t parent = ::getpid();
        pid_t pid = ::fork();
        if (pid < 0) {
            ::close(out);
            return false;
        }
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            ::dup2(out, 1);
            ::dup2(out, 2);
            int in = ::open("/dev/null", O_RDONLY);
            if (in >= 0)
                ::dup2(in, 0);
            ::setpgid(0, 0);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out);
        pid_ = pid;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            // The server's state is read after the connection: a server
            // that exited (its port taken) is not taken for started.
            const bool accepts = tcp_accepts(addr, port);
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (accepts)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void stop()
    {
        if (pid_ <= 0)
            return;
        // The server's own group: Apache and nginx may have helpers.
        ::kill(-pid_, SIGTERM);
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                ::kill(-pid_, SIGKILL);
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// Runs start(port) on a port free on addr, with a fresh port each time
// the server does not come up (at most attempts times): a port chosen
// free can be bound by another program before the server binds it, and
// the server then fails. Gives the port, or -1. On an address of the
// process's own (own_loopback()) no other program binds anything, so one
// attempt is the rule there.
template <class Start>
int start_on_free_port(const std::string &addr, Start &&start, int attempts = 4)
{
    for (int i = 0; i < attempts; ++i) {
        const int port = free_port(addr);
        if (port > 0 && start(port))
            return port;
    }
    return -1;
}

// nginx with Basic authorisation (htpasswd file) over the location
// protected, serving docroot.
// With proxy_location set, that location is passed on to proxy_target
// (an http:// address); nginx then answers an HTTP/1.1 request for a body
// of unknown length in chunked transfer coding.
inline bool start_nginx(ServerProcess &p, const std::string &dir, const std::string &addr, int port,
                        const std::string &docroot, const std::string &protected_location,
                        const std::string &user, const std::string &password,
                        const std::string &proxy_location = "", const std::string &proxy_target = "")
{
    ::mkdir((dir + "/tmp").c_str(), 0755);
    // An htpasswd line made with the system's crypt through the Apache tool.
    std::string cmd = "htpasswd -b -c '" + dir + "/htpasswd' '" + user + "' '" + password +
                      "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        return false;
    std::string conf = "daemon off;\n"
                       "master_process off;\n"
                       "worker_processes 1;\n"
                       "pid " + dir + "/nginx.pid;\n"
                       "error_log " + dir + "/error.log info;\n"
                       "events { worker_connections 64; }\n"
                       "http {\n"
                       "  access_log off;\n"
                       "  default_type application/octet-stream;\n"
                       "  client_body_temp_path " + dir + "/tmp/body;\n"
                       "  proxy_temp_path " + dir + "/tmp/proxy;\n"
                       "  fastcgi_temp_path " + dir + "/tmp/fastcgi;\n"
                       "  uwsgi_temp_path " + dir + "/tmp/uwsgi;\n"
                       "  scgi_temp_path " + dir + "/tmp/scgi;\n"
                       "  server {\n"
                       "    listen " + addr + ":" + std::to_string(port) + ";\n"
                       "    root " + docroot + ";\n"
                       "    location " + protected_location + " {\n"
                       "      auth_basic \"board\";\n"
                       "      auth_basic_user_file " + dir + "/htpasswd;\n"
                       "    }\n" +
                       (proxy_location.empty() ? std::string()
                                               : "    location " + proxy_location + " {\n"
                                                 "      proxy_pass " + proxy_target + ";\n"
                                                 "      proxy_buffering off;\n"
                                                 "    }\n") +
                       "  }\n"
                       "}\n";
    put_file(dir + "/nginx.conf", conf);
    return p.start({"/usr/sbin/nginx", "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"},
                   dir + "/out.log", addr, port);
}

// Apache httpd with Digest authorisation (qop="auth") over the location
// protected, serving docroot. digest_line is the user file's line
// "user:realm:md5(user:realm:password)". The workers run as www-data, so
// the directories on the way must be readable by others. With cgi_dir set,
// its scripts run under "/cgi-bin/" (their output has no length: Apache
// sends it chunked, or until it closes when the client asked for that).
inline bool start_apache(ServerProcess &p, const std::string &dir, const std::string &addr, int port,
                         const std::string &docroot, const std::string &protected_location,
                         const std::string &realm, const std::string &digest_line,
                         const std::string &cgi_dir = "")
{
    ::mkdir((dir + "/run").c_str(), 0755);
    put_file(dir + "/digest.pw", digest_line + "\n");
    const std::string mods = "/usr/lib/apache2/modules/";
    std::string conf =
        "ServerRoot " + dir + "\n"
        "ServerName " + addr + "\n"
        "Listen " + addr + ":" + std::to_string(port) + "\n"
        "PidFile " + dir + "/run/httpd.pid\n"
        "DefaultRuntimeDir " + dir + "/run\n"
        "Mutex file:" + dir + "/run default\n"
        "ErrorLog " + dir + "/error.log\n"
        "LogLevel info\n"
        "LoadModule mpm_event_module " + mods + "mod_mpm_event.so\n"
        "LoadModule authn_core_module " + mods + "mod_authn_core.so\n"
        "LoadModule authn_file_module " + mods + "mod_authn_file.so\n"
        "LoadModule authz_core_module " + mods + "mod_authz_core.so\n"
        "LoadModule authz_user_module " + mods + "mod_authz_user.so\n"
        "LoadModule auth_digest_module " + mods + "mod_auth_digest.so\n"
        "User www-data\n"
        "Group www-data\n"
        "DocumentRoot " + docroot + "\n"
        "<Directory " + docroot + ">\n"
        "  Require all granted\n"
        "</Directory>\n"
        "<Location " + protected_location + ">\n"
        "  AuthType Digest\n"
        "  AuthName \"" + realm + "\"\n"
        "  AuthDigestProvider file\n"
        "  AuthDigestQop auth\n"
        "  AuthUserFile " + dir + "/digest.pw\n"
        "  Require valid-user\n"
        "</Location>\n";
    if (!cgi_dir.empty())
        conf += "LoadModule alias_module " + mods + "mod_alias.so\n"
                "LoadModule cgid_module " + mods + "mod_cgid.so\n"
                "ScriptSock " + dir + "/run/cgid.sock\n"
                "ScriptAlias /cgi-bin/ " + cgi_dir + "/\n"
                "<Directory " + cgi_dir + ">\n"
                "  Require all granted\n"
                "</Directory>\n";
    put_file(dir + "/httpd.conf", conf);
    return p.start({"/usr/sbin/apache2", "-d", dir, "-f", dir + "/httpd.conf", "-X"},
                   dir + "/out.log", addr, port);
}

// dnsmasq answering only from its own records ("name,address" pairs; a
// name given twice gets two A records), on addr port 53.
inline bool start_dnsmasq(ServerProcess &p, const std::string &dir, const std::string &addr,
                          const std::vector<std::pair<std::string, std::string>> &records)
{
    std::vector<std::string> argv = {"/usr/sbin/dnsmasq", "--keep-in-foreground",
                                     "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                                     "--bind-interfaces",
                                     "--listen-address=" + addr, "--port=53", "--user=root",
                                     "--group=root", "--pid-file=" + dir + "/dnsmasq.pid",
                                     "--log-facility=-"};
    for (const auto &r : records)
        argv.push_back("--host-record=" + r.first + "," + r.second);
    return p.start(argv, dir + "/dnsmasq.log", addr, 53);
}

} // namespace dvrtest::http

#endif
