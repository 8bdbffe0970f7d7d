// fpgasim serve: a small HTTP server that shows the board simulator file as
// a live page and lets the page set the board's inputs.
//
// The server reads the simulator file a few times a second and compares it
// with its last copy; a difference makes a new board version. It reads
// rather than maps the file: a file cut short under a mapping would end the
// server on its next look, where a short read only says the file is not a
// board file (shown on the page until it is whole again). The page waits for the
// next version with a long poll on /api/version, then fetches the board's
// state (/api/board) and its picture (/board.png, the picture of `fpgasim
// show --png`). Inputs arrive as POST /api/input and are written into the
// file the way `fpgasim set` writes them.
//
// The panel drives a board, so it answers only what its own page asks:
// a request must name the panel itself as its Host (a name rebound to
// loopback by another site does not), and an input must come from the
// panel's own origin with a header or body type a page of another origin
// cannot send without the browser asking first. Each connection has a
// thread of its own (a waiting page or a slow client holds no one else's),
// the connections are counted, and a request that is not read whole in
// time is cut off.
#include "serve.h"

#include <cstdio>

#if defined(DVRPLAT_HAVE_HTTPLIB) && defined(DVRPLAT_HAVE_PNG)

#include <algorithm>
#include <array>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include "board.h"
#include "serve_page.h"
#include "owners.h"
#include "sim_file.h"

namespace fpgasim {

namespace sim = dvr::sim;
namespace reg = dvr::fpga::reg;

namespace {

std::string json_string(const std::string &s)
{
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c == '\n') {
            o += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            o += format("\\u%04x", c);
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

std::string colour(const Ycc &c)
{
    const Rgb r = to_rgb(c);
    return format("\"#%02X%02X%02X\"", r.r, r.g, r.b);
}

const char *boolean(bool b) { return b ? "true" : "false"; }

using sim::Write;

// What the page shows while the file is shorter than a board file.
constexpr const char *kNotABoardFile = "the simulator file is not a board file";

// The simulator file, read whole for watching and written byte by byte
// for inputs.
class SimFile {
public:
    // Extended as fpga_open and `fpgasim set` extend it.
    bool open(const std::string &path, std::string &error)
    {
        path_ = path;
        switch (file_.open(path.c_str(), sim::File::Mode::Write, true)) {
        case sim::File::Failure::None: return true;
        case sim::File::Failure::Open: error = "no simulator file " + path + ": " + std::strerror(errno); return false;
        case sim::File::Failure::Stat:
        case sim::File::Failure::NotRegular:
            error = path + " is not a simulator file (not a regular file)";
            return false;
        case sim::File::Failure::Extend: error = "cannot extend " + path + ": " + std::strerror(errno); return false;
        }
        return false;
    }

    // The file's name as given.
    const std::string &path() const { return path_; }

    // The file's first kFileSize bytes into out; false when the file is
    // shorter (cut short while the panel runs) or cannot be read.
    bool read(std::vector<uint8_t> &out) const { return file_.read_all(out); }

    // Writes each byte; a file cut short is refused, not extended.
    bool write(const std::vector<Write> &writes, std::string &error)
    {
        if (!file_.whole()) {
            error = kNotABoardFile;
            return false;
        }
        if (!file_.write(writes)) {
            error = std::string("write failed: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

private:
    sim::File file_;
    std::string path_;
};

// The board as last seen, and its version.
class Watch {
public:
    explicit Watch(SimFile &file) : file_(file), copy_(sim::kFileSize, 0)
    {
        refresh();
    }

    // Takes a new version when the file differs from the last copy.
    //
    // A file with a font table shows every loaded glyph itself. In a file
    // without one (made by an earlier version) the font registers show one
    // glyph at a time (the glyph index register names it), so the watch
    // collects the glyphs it sees: a glyph is kept once the file has stood
    // still for a whole period with it in the registers, never from a look
    // in the middle of a font being written (index already moved on, data
    // still the last glyph's). Until then it is drawn as the file shows
    // it, like show --png.
    void refresh()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!file_.read(next_)) {
            // Cut short: the last board stays, marked, until the file is
            // whole again (then read as new whatever it holds).
            if (whole_ || version_ == 0) {
                whole_ = false;
                publish(board_ ? std::make_shared<Board>(*board_) : std::make_shared<Board>());
            }
            return;
        }
        if (version_ != 0 && whole_ && copy_ == next_) {
            if (candidate_ && glyphs_[candidate_->first] != candidate_->second) {
                glyphs_[candidate_->first] = candidate_->second;
                candidate_.reset();
                publish(std::make_shared<Board>(*board_));
            }
            return;
        }
        copy_.swap(next_);
        whole_ = true;
        bytes_ = std::make_shared<const std::vector<uint8_t>>(copy_);
        auto board = std::make_shared<Board>();
        load_bytes(copy_.data(), copy_.size(), *board);
        candidate_.reset();
        if (board->font_table)
            glyphs_ = {}; // the table knows better than any glyph collected before it
        else
            for (size_t g = 0; g < board->glyphs.size(); ++g)
                if (board->glyphs[g])
                    candidate_.emplace(g, *board->glyphs[g]);
        publish(std::move(board));
    }

    // The glyphs known for good: the font table's, or else those kept so far.
    std::vector<int> known_glyphs()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto &glyphs = board_->font_table ? board_->glyphs : glyphs_;
        std::vector<int> known;
        for (size_t g = 0; g < glyphs.size(); ++g)
            if (glyphs[g])
                known.push_back(static_cast<int>(g));
        return known;
    }

    uint64_t version()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return version_;
    }

    // Waits until the version differs from after (the one the caller has;
    // a page kept from an earlier run of the server may have a larger one),
    // the watch stops or the time is up; returns the version then.
    uint64_t wait_after(uint64_t after, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return version_ != after || stopping_; });
        return version_;
    }

    // The board of the current version, the file's bytes it was read
    // from, and whether the file is whole now (the board is the last one
    // read while it was).
    std::shared_ptr<const Board> board(uint64_t &version, std::shared_ptr<const std::vector<uint8_t>> &bytes,
                                       bool &whole)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        version = version_;
        bytes = bytes_;
        whole = whole_;
        return board_;
    }

    // The picture of the current version, drawn once per version.
    bool png(std::shared_ptr<const std::vector<uint8_t>> &out, std::string &error)
    {
        std::shared_ptr<const Board> b;
        uint64_t v = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (png_ && png_version_ == version_) {
                out = png_;
                return true;
            }
            b = board_;
            v = version_;
        }
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        if (!render_png(*b, *bytes, error))
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (v == version_) {
            png_ = bytes;
            png_version_ = v;
        }
        out = bytes;
        return true;
    }

    // Compares the file with the copy every period until stop().
    void run(std::chrono::milliseconds period)
    {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (stop_.wait_for(lock, period, [&] { return stopping_; }))
                    return;
            }
            refresh();
        }
    }

    void stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stop_.notify_all();
        changed_.notify_all();
    }

private:
    // Under mutex_: the board drawn with its font table, or else with the
    // kept glyphs and the one the registers show, as the next version.
    void publish(std::shared_ptr<Board> board)
    {
        for (size_t g = 0; g < glyphs_.size() && !board->font_table; ++g)
            if (glyphs_[g] && !(candidate_ && candidate_->first == g))
                board->glyphs[g] = glyphs_[g];
        board_ = std::move(board);
        png_.reset();
        ++version_;
        changed_.notify_all();
    }

    SimFile &file_;
    std::mutex mutex_;
    std::condition_variable changed_, stop_;
    std::vector<uint8_t> copy_, next_;
    bool whole_ = true;
    std::shared_ptr<const std::vector<uint8_t>> bytes_ =
        std::make_shared<const std::vector<uint8_t>>(sim::kFileSize, 0);
    uint64_t version_ = 0;
    bool stopping_ = false;
    std::shared_ptr<const Board> board_;
    std::array<std::optional<Board::Glyph>, 256> glyphs_{};
    std::optional<std::pair<size_t, Board::Glyph>> candidate_;
    std::shared_ptr<const std::vector<uint8_t>> png_;
    uint64_t png_version_ = 0;
};

std::string board_json(const Board &b, uint64_t version, const uint8_t *file, const std::vector<int> &known,
                       bool whole, const std::string &path)
{
    std::string j = format("{\"version\":%llu,\"problem\":%s,\"file\":", static_cast<unsigned long long>(version),
                           whole ? "null" : json_string(kNotABoardFile).c_str());
    j += json_string(path) + ",\"outputs\":[";
    for (const Output &out : b.outputs) {
        j += format("%s{\"mon\":%d,\"background\":%s,\"zoom\":%s,\"zoom_x\":%d,\"zoom_y\":%d,\"overlay\":%s,\"tiles\":[",
                    out.mon ? "," : "", out.mon, colour(out.background).c_str(), boolean(out.zoom), out.zoom_x,
                    out.zoom_y, boolean(out.overlay));
        for (const Tile &t : out.tiles)
            j += format("%s{\"path\":%d,\"raw\":%d,\"enabled\":%s,\"size\":%d,\"camera\":%d,\"h\":%d,\"v\":%d,"
                        "\"freeze\":%s}",
                        t.path ? "," : "", t.path, t.raw, boolean(t.enabled), t.size, t.camera, t.h, t.v,
                        boolean(t.freeze_bit));
        j += "],\"palette\":[";
        for (size_t k = 0; k < out.palette.size(); ++k) {
            if (k)
                j += ',';
            j += colour(out.palette[k]);
        }
        j += "],\"text_background\":" + colour(out.text_background) + "}";
    }
    j += "],\"text\":[";
    for (int row = 0; row < Board::kRows; ++row) {
        std::string line;
        for (int c = 0; c < Board::kCols; ++c) {
            const unsigned g = b.cell(c, row) & 0xFF;
            line += (g >= 0x20 && g < 0x7F) ? static_cast<char>(g) : '?';
        }
        if (row)
            j += ',';
        j += json_string(line);
    }
    j += format("],\"cursor\":{\"shown\":%s,\"x\":%d,\"y\":%d}", boolean(b.cursor_shown), b.cursor_x, b.cursor_y);
    j += format(",\"alarm\":%u,\"vloss\":%u,\"motion\":%u,\"termination\":%u,\"relays\":%u", b.alarm, b.vloss,
                b.motion, b.termination, b.relays);
    j += format(",\"keymap\":\"0x%016llX\"", static_cast<unsigned long long>(b.keymap));
    j += format(",\"resolution\":%d,\"resolution_name\":%s,\"record_cameras\":[", b.resolution,
                json_string(resolution_name(b.resolution)).c_str());
    for (size_t p = 0; p < b.record_cameras.size(); ++p)
        j += format("%s%d", p ? "," : "", b.record_cameras[p]);
    j += "],\"motion_cells\":[";
    for (unsigned cam = 0; cam < 16; ++cam) {
        j += cam ? ",[" : "[";
        for (unsigned k = 0; k < reg::kMotionCells; ++k)
            j += format("%s%u", k ? "," : "", file[sim::status_at(reg::motion_address(cam), reg::motion_offset(cam, k))]);
        j += "]";
    }
    j += "],\"overlay_dots\":[";
    for (int r = 0; r < 16; ++r) {
        unsigned dots = 0;
        for (int c = 0; c < 16; ++c)
            dots |= static_cast<unsigned>(b.dots[r][c]) << c;
        j += format("%s%u", r ? "," : "", dots);
    }
    j += "],\"font_glyphs\":[";
    for (size_t k = 0; k < known.size(); ++k)
        j += format("%s%d", k ? "," : "", known[k]);
    j += format("],\"coax_bytes\":%zu,\"coax\":%s}", b.coax.size(), json_string(decode_coax(b.coax)).c_str());
    return j;
}

// The writes an input asks for, as `fpgasim set` (and `fpgasim coax
// --clear`) would make them; false with a message when the request is bad.
bool input_writes(const httplib::Request &req, const uint8_t *file, std::vector<Write> &writes,
                  std::string &error)
{
    if (!req.has_param("name")) {
        error = "no input named: give name=alarm|vloss|motion|termination|motion-cell|key|keys|coax-clear";
        return false;
    }
    const std::string name = req.get_param_value("name");
    std::vector<std::string> allowed;
    auto param = [&](const char *p, unsigned long long max, unsigned long long &v) {
        return req.has_param(p) && parse_number(req.get_param_value(p).c_str(), max, v);
    };
    auto mask16 = [&](uint16_t current, uint16_t &mask) {
        unsigned long long m = 0, ch = 0, on = 0;
        if (req.has_param("mask")) {
            allowed = {"mask"};
            if (!param("mask", 0xFFFF, m)) {
                error = name + ": mask must be a 16-bit number";
                return false;
            }
            mask = static_cast<uint16_t>(m);
            return true;
        }
        allowed = {"channel", "on"};
        if (!param("channel", 15, ch) || !param("on", 1, on)) {
            error = name + " needs channel (0-15) and on (0 or 1), or mask (0-0xFFFF)";
            return false;
        }
        mask = static_cast<uint16_t>(on ? current | (1u << ch) : current & ~(1u << ch));
        return true;
    };
    if (name == "alarm" || name == "vloss") {
        const bool alarm = name == "alarm";
        uint16_t mask = 0;
        if (!mask16(alarm ? sim::alarm(file) : sim::video_loss(file), mask))
            return false;
        writes = alarm ? sim::set_alarm(mask) : sim::set_video_loss(mask);
    } else if (name == "termination") {
        // The termination register pair the library sets (fpga_set_terminate).
        uint16_t mask = 0;
        if (!mask16(sim::termination(file), mask))
            return false;
        writes = sim::set_termination(mask);
    } else if (name == "motion") {
        uint16_t mask = 0;
        if (!mask16(sim::motion(file), mask))
            return false;
        // A camera with motion shows it in its first cell; every other
        // cell is cleared.
        writes = sim::set_motion(mask);
    } else if (name == "motion-cell") {
        allowed = {"camera", "cell", "value"};
        unsigned long long cam = 0, cell = 0, value = 0;
        if (!param("camera", 15, cam) || !param("cell", 30, cell) || !param("value", 255, value)) {
            error = "motion-cell needs camera (0-15), cell (0-30) and value (0-255)";
            return false;
        }
        writes = sim::set_motion_cell(static_cast<unsigned>(cam), static_cast<unsigned>(cell),
                                      static_cast<uint8_t>(value));
    } else if (name == "key") {
        allowed = {"offset", "bit"};
        unsigned long long off = 0, bit = 0;
        constexpr unsigned first = reg::kKeys, last = first + reg::kKeyRegisters - 1;
        if (!param("offset", last, off) || off < first || !param("bit", 7, bit)) {
            error = "key needs offset (a key register, 0x30-0x34) and bit (0-7)";
            return false;
        }
        // Only this key down: a 0 bit is a pressed key.
        writes = sim::set_key(static_cast<unsigned>(off), static_cast<unsigned>(bit));
    } else if (name == "keys") {
        allowed = {"map"};
        unsigned long long map = 0;
        if (req.has_param("map") && req.get_param_value("map") == "none") {
            map = ~0ull;
        } else if (!param("map", ~0ull, map)) {
            error = "keys needs map (a 64-bit key map, or none to release every key)";
            return false;
        }
        writes = sim::set_keys(map);
    } else if (name == "coax-clear") {
        writes = sim::clear_coax();
    } else {
        error = "unknown input " + name;
        return false;
    }
    for (const auto &p : req.params) {
        if (p.first != "name" && std::find(allowed.begin(), allowed.end(), p.first) == allowed.end()) {
            writes.clear();
            error = name + ": unexpected parameter " + p.first;
            return false;
        }
    }
    return true;
}

void answer(httplib::Response &res, int status, const std::string &json)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, "application/json");
}

void refuse(httplib::Response &res, int status, const std::string &message)
{
    answer(res, status, "{\"error\":" + json_string(message) + "}");
}

// The most connections served at once; more are closed as they come.
constexpr size_t kMaxConnections = 256;
// A request must be read whole (head and body), and its answer written,
// within this time of the connection's start or of the previous answer;
// a long poll adds its wait.
constexpr auto kRequestTime = std::chrono::seconds(10);
// The largest body a request may declare: inputs travel in the query, so
// a body is at most a small form.
constexpr size_t kMaxBody = 8192;
// How long a long poll waits for a new version.
constexpr auto kLongPoll = std::chrono::seconds(10);

using Clock = std::chrono::steady_clock;

// One connection being served: a duplicate of its socket (the server's
// own is closed by the library, this one by us, so it never names another
// connection's socket), the local address the client reached, and the
// time by which its current request must be done.
struct Connection {
    dvr::UniqueFd fd;
    ino_t socket = 0;  // the socket's inode: what tells connections apart
    std::string local; // "address:port" as a Host header names it
    Clock::time_point deadline;
};

// The local port of a connected (not listening) TCP socket fd, or -1.
int connected_port(int fd, std::string *local = nullptr)
{
    int listening = 0;
    socklen_t optlen = sizeof listening;
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optlen) != 0 || listening ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return -1;
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&a);
        if (local)
            *local = format("%s:%u", ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) ? text : "",
                            ntohs(in->sin_port));
        return ntohs(in->sin_port);
    }
    if (a.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        if (local)
            *local = format("[%s]:%u", ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) ? text : "",
                            ntohs(in6->sin6_port));
        return ntohs(in6->sin6_port);
    }
    return -1;
}

// The connections being served, and the watchdog that shuts down the
// socket of one whose request is late: its thread's read or write then
// fails and the connection ends.
//
// The HTTP library accepts each connection and hands its socket over
// only inside the task it queues, so a new connection is found as the
// one connected socket on the panel's port that is not yet known (the
// tasks are queued one by one, right after each accept).
class Connections {
public:
    Connections() = default;
    ~Connections()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            cv_.notify_all();
        }
        if (watchdog_.joinable())
            watchdog_.join();
    }

    // Starts the watchdog (once the server's signals are blocked).
    void start() { watchdog_ = std::thread([this] { watch(); }); }
    Connections(const Connections &) = delete;
    Connections &operator=(const Connections &) = delete;

    // Takes the connection just accepted on port. nullptr with refused
    // set (its socket shut down) when too many are open or the server is
    // stopping; nullptr alone when it cannot be found (served unwatched).
    Connection *admit(int port, bool &refused)
    {
        auto c = std::make_unique<Connection>();
        std::lock_guard<std::mutex> lock(mutex_);
        refused = false;
        if (!find_new(port, *c))
            return nullptr;
        if (stopping_ || open_.size() >= kMaxConnections) {
            ::shutdown(c->fd.get(), SHUT_RDWR);
            refused = true;
            return nullptr;
        }
        c->deadline = Clock::now() + kRequestTime;
        open_.push_back(std::move(c));
        return open_.back().get();
    }

    // The connection is over: its duplicate socket is closed.
    void leave(Connection *c)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.remove_if([c](const std::unique_ptr<Connection> &o) { return o.get() == c; });
    }

    // The current request of c must be done within limit from now.
    void allow(Connection *c, Clock::duration limit)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        c->deadline = Clock::now() + limit;
    }

    // Ends every connection at once (the server stops).
    void end_all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto &c : open_)
            ::shutdown(c->fd.get(), SHUT_RDWR);
        cv_.notify_all();
    }

private:
    // Under mutex_: the connected socket on port that no connection holds
    // yet, duplicated into c.
    bool find_new(int port, Connection &c)
    {
        std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir("/proc/self/fd"), ::closedir);
        if (!dir)
            return false;
        while (const dirent *e = ::readdir(dir.get())) {
            char *end = nullptr;
            const long fd = std::strtol(e->d_name, &end, 10);
            struct stat st;
            if (*end || end == e->d_name || fd == ::dirfd(dir.get()) || ::fstat(static_cast<int>(fd), &st) != 0 ||
                !S_ISSOCK(st.st_mode))
                continue;
            if (std::any_of(open_.begin(), open_.end(),
                            [&](const std::unique_ptr<Connection> &o) { return o->socket == st.st_ino; }))
                continue;
            if (connected_port(static_cast<int>(fd), &c.local) != port)
                continue;
            c.fd.reset(::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0));
            c.socket = st.st_ino;
            return static_cast<bool>(c.fd);
        }
        return false;
    }

    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!cv_.wait_for(lock, std::chrono::milliseconds(250), [&] { return stopping_; })) {
            const auto now = Clock::now();
            for (auto &c : open_)
                if (c->deadline <= now) {
                    ::shutdown(c->fd.get(), SHUT_RDWR);
                    c->deadline = Clock::time_point::max();
                }
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::list<std::unique_ptr<Connection>> open_;
    std::thread watchdog_;
};

// The connection the calling thread serves (each has a thread of its
// own), for the handlers.
thread_local Connection *tl_connection = nullptr;

// A thread for each connection: a long poll or a slow client holds only
// its own. The connection count bounds them; a connection over the count
// is ended on the accepting thread (its socket already shut down).
class ThreadPerConnection : public httplib::TaskQueue {
public:
    ThreadPerConnection(Connections &connections, int port) : connections_(connections), port_(port) {}

    void enqueue(std::function<void()> fn) override
    {
        bool refused = false;
        Connection *c = connections_.admit(port_, refused);
        if (refused) {
            fn(); // ends at once: the socket is shut down
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++running_;
        }
        auto serve = [this, c, fn]() mutable {
            tl_connection = c;
            fn();
            fn = nullptr;
            tl_connection = nullptr;
            if (c)
                connections_.leave(c);
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
            idle_.notify_all();
        };
        try {
            std::thread(serve).detach();
        } catch (const std::system_error &) {
            serve(); // no thread to be had: served on the accepting one
        }
    }

    void shutdown() override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [&] { return running_ == 0; });
    }

private:
    Connections &connections_;
    const int port_;
    std::mutex mutex_;
    std::condition_variable idle_;
    size_t running_ = 0;
};

bool equal_nocase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// True when addr (as --bind gives it) is a loopback address or name.
bool loopback(const std::string &addr)
{
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, addr.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    if (::inet_pton(AF_INET6, addr.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return equal_nocase(addr, "localhost");
}

// The Host values that name this panel: the local address the client
// reached, the address it was told to listen on, and the loopback names,
// each with the port (a browser leaves out port 80).
std::vector<std::string> own_hosts(const std::string &bind, int port, const Connection *c)
{
    const bool v6 = bind.find(':') != std::string::npos;
    std::vector<std::string> names = {"127.0.0.1", "localhost", "[::1]", v6 ? "[" + bind + "]" : bind};
    std::vector<std::string> hosts;
    for (const std::string &n : names) {
        hosts.push_back(n + ":" + std::to_string(port));
        if (port == 80)
            hosts.push_back(n);
    }
    if (c && !c->local.empty()) {
        hosts.push_back(c->local);
        if (port == 80)
            hosts.push_back(c->local.substr(0, c->local.rfind(':')));
    }
    return hosts;
}

// True when req declares a body the panel would take (or none at all).
bool small_body(const httplib::Request &req)
{
    const std::string length = req.get_header_value("Content-Length");
    return !req.has_header("Transfer-Encoding") && length.find_first_not_of("0123456789") == std::string::npos &&
           length.size() <= 5 && (length.empty() || std::stoul(length) <= kMaxBody);
}

// The refusal of a request the panel does not take from anyone but its own
// page, or an empty string.
std::string refusal(const httplib::Request &req, const std::vector<std::string> &hosts, int &status)
{
    status = 403;
    const std::string host = req.get_header_value("Host");
    auto own = [&](const std::string &h) {
        return std::any_of(hosts.begin(), hosts.end(), [&](const std::string &o) { return equal_nocase(h, o); });
    };
    if (!own(host))
        return "not a name of this panel: Host " + (host.empty() ? std::string("missing") : host);
    if (req.method == "GET" || req.method == "HEAD")
        return "";
    if (req.has_header("Origin")) {
        const std::string origin = req.get_header_value("Origin");
        if (origin.compare(0, 7, "http://") != 0 || !own(origin.substr(7)))
            return "inputs are taken from the panel's own page only: Origin " + origin;
    }
    const std::string type = req.get_header_value("Content-Type");
    if (!req.has_header("X-Fpgasim-Panel") && type.compare(0, 16, "application/json") != 0)
        return "inputs need the header X-Fpgasim-Panel (or a JSON body), as the panel's page sends them";
    if (req.has_header("Transfer-Encoding")) {
        status = 411;
        return "a body needs its length (Content-Length)";
    }
    if (!small_body(req)) {
        status = 413;
        return format("a body of at most %zu bytes", kMaxBody);
    }
    return "";
}

// Stops the server on SIGINT or SIGTERM: both are blocked in every thread
// and taken here by sigwait, so stopping runs as ordinary code.
class SignalStop {
public:
    explicit SignalStop(std::function<void()> stop) : stop_(std::move(stop))
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1); // our own wake-up at shutdown
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
        thread_ = std::thread([this] {
            int sig = 0;
            while (sigwait(&set_, &sig) == 0) {
                if (sig == SIGUSR1 && !stop_requested_)
                    return;
                stop_requested_ = true;
                stop_();
                return;
            }
        });
    }
    ~SignalStop()
    {
        if (thread_.joinable()) {
            pthread_kill(thread_.native_handle(), SIGUSR1);
            thread_.join();
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SignalStop(const SignalStop &) = delete;
    SignalStop &operator=(const SignalStop &) = delete;

private:
    std::function<void()> stop_;
    sigset_t set_, old_;
    std::atomic<bool> stop_requested_{false};
    std::thread thread_;
};

} // namespace

int serve(const std::string &path, const std::vector<std::string> &args)
{
    std::string bind = "127.0.0.1";
    int port = kDefaultPanelPort;
    for (size_t i = 0; i < args.size(); ++i) {
        unsigned long long v = 0;
        if (args[i] == "--port" && i + 1 < args.size()) {
            if (!parse_number(args[i + 1].c_str(), 65535, v)) {
                std::fprintf(stderr, "fpgasim: serve: --port needs a port number (0-65535; 0 picks a free one)\n");
                return 2;
            }
            port = static_cast<int>(v);
            ++i;
        } else if (args[i] == "--bind" && i + 1 < args.size()) {
            bind = args[++i];
        } else {
            std::fprintf(stderr, "fpgasim: serve: unexpected argument %s (usage: fpgasim serve [--port N] [--bind ADDR])\n",
                         args[i].c_str());
            return 2;
        }
    }

    SimFile file;
    std::string error;
    if (!file.open(path, error)) {
        std::fprintf(stderr, "fpgasim: serve: %s\n", error.c_str());
        return 1;
    }
    Watch watch(file);
    std::mutex input_mutex; // one read-modify-write of the file at a time

    Connections connections;
    httplib::Server svr;
    int bound = port;
    svr.new_task_queue = [&] { return new ThreadPerConnection(connections, bound); };
    svr.set_keep_alive_timeout(2);
    svr.set_payload_max_length(kMaxBody);
    // Every request names this panel; inputs come from its own page.
    auto refused = [&](const httplib::Request &req, httplib::Response &res, int &status) {
        const std::string why = refusal(req, own_hosts(bind, bound, tl_connection), status);
        if (!why.empty())
            refuse(res, status, why);
        return !why.empty();
    };
    // Refused as soon as the head is read. A body too large (or of no
    // declared length) is never read: the connection ends after the
    // answer. A small body is read first, and the refusal comes from the
    // handler, so that the client is not cut off before it has the answer.
    svr.set_pre_routing_handler([&](const httplib::Request &req, httplib::Response &res) {
        int status = 0;
        if (!refused(req, res, status))
            return httplib::Server::HandlerResponse::Unhandled;
        if (status == 403 && req.method == "POST" && req.path == "/api/input" && req.has_header("Content-Length") &&
            small_body(req)) {
            res = httplib::Response();
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
            res.set_header("Connection", "close");
            if (tl_connection)
                ::shutdown(tl_connection->fd.get(), SHUT_RD);
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    // Answered: the next request on the connection has its own time.
    svr.set_logger([&](const httplib::Request &, const httplib::Response &) {
        if (tl_connection)
            connections.allow(tl_connection, kRequestTime);
    });
    // Address reuse lets a panel restart at once on its port; port sharing
    // (the library's default) would let a second panel listen beside the
    // first one, so it stays off and a taken port is refused.
    svr.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    svr.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(kPanelPage, "text/html; charset=utf-8");
    });
    svr.Get("/api/version", [&](const httplib::Request &req, httplib::Response &res) {
        unsigned long long after = 0;
        uint64_t v = 0;
        if (req.has_param("after")) {
            if (!parse_number(req.get_param_value("after").c_str(), ~0ull, after)) {
                refuse(res, 400, "after must be a version number");
                return;
            }
            if (tl_connection)
                connections.allow(tl_connection, kLongPoll + kRequestTime);
            v = watch.wait_after(after, kLongPoll);
        } else {
            v = watch.version();
        }
        answer(res, 200, format("{\"version\":%llu}", static_cast<unsigned long long>(v)));
    });
    svr.Get("/api/board", [&](const httplib::Request &, httplib::Response &res) {
        uint64_t v = 0;
        std::shared_ptr<const std::vector<uint8_t>> bytes;
        bool whole = true;
        std::shared_ptr<const Board> b = watch.board(v, bytes, whole);
        // The motion cells come from the file's bytes as last read.
        answer(res, 200, board_json(*b, v, bytes->data(), watch.known_glyphs(), whole, file.path()));
    });
    svr.Get("/board.png", [&](const httplib::Request &, httplib::Response &res) {
        std::shared_ptr<const std::vector<uint8_t>> png;
        std::string err;
        if (!watch.png(png, err)) {
            refuse(res, 500, err);
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(reinterpret_cast<const char *>(png->data()), png->size(), "image/png");
    });
    svr.Post("/api/input", [&](const httplib::Request &req, httplib::Response &res) {
        int status = 0;
        if (refused(req, res, status))
            return;
        std::lock_guard<std::mutex> lock(input_mutex);
        std::vector<Write> writes;
        std::vector<uint8_t> now;
        std::string err;
        if (!file.read(now)) {
            refuse(res, 409, kNotABoardFile);
            return;
        }
        if (!input_writes(req, now.data(), writes, err)) {
            refuse(res, 400, err);
            return;
        }
        if (!file.write(writes, err)) {
            refuse(res, err == kNotABoardFile ? 409 : 500, err);
            return;
        }
        watch.refresh();
        answer(res, 200, format("{\"version\":%llu}", static_cast<unsigned long long>(watch.version())));
    });

    if (port == 0)
        bound = svr.bind_to_any_port(bind);
    else if (!svr.bind_to_port(bind, port))
        bound = -1;
    if (bound <= 0) {
        std::fprintf(stderr, "fpgasim: serve: cannot listen on %s port %d (%s)\n", bind.c_str(), port,
                     port ? "taken, or not an address of this machine" : "not an address of this machine");
        return 1;
    }
    if (!loopback(bind))
        std::fprintf(stderr,
                     "fpgasim: serve: warning: listening on %s, not on loopback: anyone who can reach it can drive "
                     "the board\n",
                     bind.c_str());
    const bool v6 = bind.find(':') != std::string::npos;
    std::printf("fpgasim: panel of %s at http://%s%s%s:%d/\n", path.c_str(), v6 ? "[" : "", bind.c_str(),
                v6 ? "]" : "", bound);
    std::fflush(stdout);

    // Both started after the signals are blocked, so every thread of the
    // server leaves SIGINT and SIGTERM to the signal thread.
    // A stop that comes before the server listens waits until it does
    // (the library's stop does nothing before), or until it has given up.
    std::atomic<bool> listen_over{false};
    SignalStop signals([&] {
        watch.stop();
        connections.end_all();
        while (!svr.is_running() && !listen_over)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        svr.stop();
    });
    std::thread watcher([&] { watch.run(std::chrono::milliseconds(40)); });
    connections.start();
    const bool ok = svr.listen_after_bind();
    listen_over = true;
    watch.stop();
    watcher.join();
    return ok ? 0 : 1;
}

} // namespace fpgasim

#else

namespace fpgasim {

int serve(const std::string &, const std::vector<std::string> &)
{
    std::fprintf(stderr, "fpgasim: the panel is not available in this build (made without cpp-httplib or libpng)\n");
    return 1;
}

} // namespace fpgasim

#endif
