// labels: net
// The live board panel (fpgasim serve) over plain HTTP: the page, the
// board's state and picture, the version that follows changes, inputs
// written exactly as `fpgasim set` writes them, bad inputs refused without
// a write, and the refusals to start.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef DVRPLAT_HAVE_PANEL
#include <httplib.h>
#include <png.h>
#endif

#include "owners.h"
#include "fpga.h"
#include "fixtures.h"
#include "fpga_sim.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::FpgaSim;
using dvrtest::RunResult;

extern char **environ;

#ifndef DVRPLAT_FPGASIM
#define DVRPLAT_FPGASIM DVRPLAT_BINARY_DIR "/tools/fpgasim/fpgasim"
#endif

namespace {

RunResult fpgasim(const std::string &sim, std::vector<std::string> args)
{
    args.insert(args.begin(), {DVRPLAT_FPGASIM, "--sim", sim});
    return dvrtest::run(args);
}

#ifdef DVRPLAT_HAVE_PANEL

// fpgasim serve on a free port of the loopback address, stopped with
// SIGTERM at the end. The port is the one the server reports once it
// listens, so nothing races for it.
class Panel {
public:
    explicit Panel(const std::string &sim, int port = 0)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::vector<std::string> argv =
            dvrtest::target_command({DVRPLAT_FPGASIM, "--sim", sim, "serve", "--port", std::to_string(port)});
        std::vector<char *> cargv;
        for (const auto &a : argv)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        if (posix_spawnp(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        // The first line: "fpgasim: panel of FILE at http://127.0.0.1:PORT/".
        std::string line;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        first_line_ = line;
        const size_t at = line.rfind(':');
        if (at != std::string::npos)
            port_ = std::atoi(line.c_str() + at + 1);
    }
    ~Panel()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Panel(const Panel &) = delete;
    Panel &operator=(const Panel &) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &first_line() const { return first_line_; }
    httplib::Client client() const
    {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30, 0);
        return c;
    }
    // Stops the server and returns its exit status.
    int stop()
    {
        int status = -1;
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string first_line_;
};

void init_quietly()
{
    CaptureStdout cap;
    fpga_init();
}

std::string post_input(const Panel &p, const std::string &query, int &status)
{
    auto c = p.client();
    // The header the panel's own page sends with every input.
    c.set_default_headers({{"X-Fpgasim-Panel", "input"}});
    auto r = c.Post(("/api/input?" + query).c_str());
    if (!r) {
        status = -1;
        return "no answer";
    }
    status = r->status;
    return r->body;
}

// A PNG picture's pixels, RGB, row by row; empty when it cannot be read.
struct Picture {
    unsigned width = 0;
    std::vector<uint8_t> rgb;
    std::vector<int> at(int x, int y) const
    {
        const size_t i = (static_cast<size_t>(y) * width + static_cast<size_t>(x)) * 3;
        if (i + 3 > rgb.size())
            return {-1};
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};
Picture decode(const std::string &png)
{
    Picture p;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size()))
        return p;
    image.format = PNG_FORMAT_RGB;
    p.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr))
        p.rgb.clear();
    p.width = image.width;
    return p;
}
std::vector<int> pixel(const std::string &png, int x, int y) { return decode(png).at(x, y); }

unsigned long long version_of(const std::string &json)
{
    const size_t at = json.find("\"version\":");
    return at == std::string::npos ? 0 : std::stoull(json.substr(at + 10));
}

// A connection to the panel on loopback; invalid when it cannot be made.
dvr::UniqueFd connect_to(int port)
{
    dvr::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (s && ::connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        s.reset();
    return s;
}

bool send_all(int fd, const std::string &bytes)
{
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// What arrives on fd until the peer closes it, or until nothing has come
// for bound_ms.
std::string read_until_closed(int fd, int bound_ms = 30000)
{
    std::string got;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, bound_ms) <= 0)
            return got;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return got;
        got.append(buf, static_cast<size_t>(n));
    }
}

// One request written by hand on a connection of its own; the whole
// answer ("" when none came).
std::string http(int port, const std::string &request)
{
    dvr::UniqueFd s = connect_to(port);
    if (!s || !send_all(s.get(), request))
        return "";
    return read_until_closed(s.get());
}

int status_of(const std::string &answer)
{
    return answer.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(answer.c_str() + 9) : -1;
}

// The resident size of a process in KiB (VmRSS), -1 when unknown.
long resident_kib(pid_t pid)
{
    const std::string status = dvrtest::read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// Long polls the board until its state includes text, or the panel does
// not answer; the board's state as last seen.
std::string board_when(const Panel &p, const std::string &text)
{
    auto c = p.client();
    unsigned long long v = 0;
    for (int look = 0; look < 20; ++look) {
        auto board = c.Get("/api/board");
        if (!board)
            return "no answer";
        if (board->body.find(text) != std::string::npos)
            return board->body;
        auto next = c.Get(("/api/version?after=" + std::to_string(v ? v : version_of(board->body))).c_str());
        if (!next)
            return "no answer";
        v = version_of(next->body);
    }
    return "never: " + c.Get("/api/board")->body.substr(0, 200);
}

#endif

} // namespace

#ifndef DVRPLAT_HAVE_PANEL
TEST(FpgasimServe, NotInThisBuild)
{
    FpgaSim sim;
    RunResult r = fpgasim(sim.sim_path(), {"serve", "--port", "0"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("the panel is not available in this build"), std::string::npos) << r.err;
#ifdef DVRPLAT_CROSSCOMPILING
    GTEST_SKIP() << "the panel is not available in this build (no cpp-httplib or libpng for this target)";
#else
    // The build machine has both libraries (scripts/packages.txt).
    DVRTEST_FIXTURE_MISSING() << "the panel is not in this build: cpp-httplib or libpng was not found";
#endif
}
#else

TEST(FpgasimServe, ServesThePageTheBoardAndThePictureOfShow)
{
    FpgaSim sim;
    init_quietly();
    const unsigned char cams[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    fpga_9split_disp(0, cams, 1u << 4, 0);
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    // Loopback unless told otherwise.
    EXPECT_NE(p.first_line().find("http://127.0.0.1:"), std::string::npos) << p.first_line();
    auto c = p.client();

    auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
    EXPECT_NE(page->body.find("/api/input"), std::string::npos);

    auto board = c.Get("/api/board");
    ASSERT_TRUE(board);
    ASSERT_EQ(board->status, 200);
    EXPECT_NE(board->body.find("{\"path\":2,\"raw\":194,\"enabled\":true,\"size\":2,\"camera\":2,"), std::string::npos)
        << board->body.substr(0, 600);
    EXPECT_NE(board->body.find("\"camera\":31"), std::string::npos) << "camera 4 is masked: a blank tile";
    // The page names the file it shows.
    EXPECT_NE(board->body.find("\"file\":\"" + sim.sim_path() + "\""), std::string::npos) << board->body.substr(0, 200);
    EXPECT_NE(page->body.find("Simulator file: <span id=\"file\">"), std::string::npos);

    // The picture is the one `fpgasim show --png` draws.
    auto png = c.Get("/board.png");
    ASSERT_TRUE(png);
    ASSERT_EQ(png->status, 200);
    EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
    dvrtest::TempDir dir;
    const std::string file = dir.path() + "/show.png";
    RunResult show = fpgasim(sim.sim_path(), {"show", "--png", file});
    ASSERT_EQ(show.status, 0) << show.err;
    const Picture panel = decode(png->body), shown = decode(dvrtest::read_file(file));
    ASSERT_FALSE(panel.rgb.empty());
    EXPECT_EQ(panel.width, shown.width);
    EXPECT_TRUE(panel.rgb == shown.rgb) << "the panel's picture differs from show --png";

    EXPECT_EQ(p.stop(), 0) << "SIGTERM stops the server cleanly";
}

TEST(FpgasimServe, VersionFollowsEveryChangeOfTheFile)
{
    FpgaSim sim;
    init_quietly();
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    auto c = p.client();
    auto v0 = c.Get("/api/version");
    ASSERT_TRUE(v0);
    const unsigned long long before = version_of(v0->body);
    ASSERT_GT(before, 0u);

    // A program writes through the library; the long poll returns with a
    // newer version and the board shows the write.
    RunResult cs = dvrtest::run({DVRPLAT_CAMSEL, "-r", "2", "-m", "3"}, {"DVRPLAT_FPGA_SIM=" + sim.sim_path()});
    ASSERT_EQ(cs.status, 0) << cs.err;
    auto v1 = c.Get(("/api/version?after=" + std::to_string(before)).c_str());
    ASSERT_TRUE(v1);
    EXPECT_GT(version_of(v1->body), before);
    auto board = c.Get("/api/board");
    ASSERT_TRUE(board);
    EXPECT_NE(board->body.find("\"resolution\":2,\"resolution_name\":\"CIF\","
                               "\"record_cameras\":[1,1,1,1,5,5,5,5,9,9,9,9,13,13,13,13]"),
              std::string::npos)
        << board->body;

    auto bad = c.Get("/api/version?after=soon");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
}

// In a file without a font table (made by an earlier version) the font
// registers show one glyph at a time; the panel keeps every glyph it has
// seen and draws text cells with their bitmaps, where the picture of one
// look at the file knows only the glyph the registers hold. Once the
// library loads a font, the file's table holds every glyph.
TEST(FpgasimServe, TextCellsUseEveryGlyphBitmapKnown)
{
    FpgaSim sim;
    init_quietly();
    const unsigned char text[6] = {0x00, 'A', 0x00, 'B', 0x00, 'C'};
    ASSERT_EQ(fpga_osd_write(0, text, sizeof text, 0, 0), 0);
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    auto c = p.client();
    auto v = c.Get("/api/version");
    ASSERT_TRUE(v);
    unsigned long long version = version_of(v->body);
    auto wait_for_board = [&](const std::string &what) {
        for (int i = 0; i < 50; ++i) {
            auto next = c.Get(("/api/version?after=" + std::to_string(version)).c_str());
            if (!next)
                return false;
            const unsigned long long seen = version;
            version = version_of(next->body);
            auto board = c.Get("/api/board");
            if (board && board->body.find(what) != std::string::npos)
                return true;
            if (version == seen)
                return false; // the long poll ran out: nothing more is coming
        }
        return false;
    };
    // Each glyph is kept once the file has stood still with it in the
    // registers; the board's list of kept glyphs says when.
    const struct {
        int glyph;
        const char *kept;
    } steps[] = {{'A', "\"font_glyphs\":[65]"}, {'B', "\"font_glyphs\":[65,66]"}};
    for (const auto &[glyph, kept] : steps) {
        // Written into the file directly, as an earlier version left it.
        sim.set_reg(0x21, 0, static_cast<uint8_t>(glyph)); // a full block: every pixel of the cell is foreground
        for (unsigned r = 0; r < 32; ++r)
            sim.set_reg(0x20, r, 0xFF);
        ASSERT_TRUE(wait_for_board(kept)) << "glyph " << glyph << " never kept";
    }
    auto png = c.Get("/board.png");
    ASSERT_TRUE(png);
    dvrtest::TempDir dir;
    const std::string file = dir.path() + "/show.png";
    RunResult show = fpgasim(sim.sim_path(), {"show", "--png", file});
    ASSERT_EQ(show.status, 0) << show.err;
    const std::string shown = dvrtest::read_file(file);
    // The top-left pixel of a cell: foreground in a block glyph, text
    // background (black) in the character shape, which starts further in.
    const std::vector<int> black{0, 0, 0};
    const int x = 20, y = 60; // output 0's screen in the picture
    EXPECT_NE(pixel(png->body, x, y), black) << "glyph A";
    EXPECT_NE(pixel(png->body, x + 16, y), black) << "glyph B";
    EXPECT_EQ(pixel(shown, x, y), black) << "glyph A is not in the file any more";
    EXPECT_NE(pixel(shown, x + 16, y), black) << "glyph B is in the font registers";
    EXPECT_EQ(pixel(png->body, x + 48, y), black) << "a blank cell";

    // A font loaded through the library: glyph C is a block, the others
    // (A and B included) are empty. The table replaces the kept glyphs.
    std::array<std::array<unsigned char, 34>, 256> records{};
    std::array<const unsigned char *, 256> table{};
    for (size_t g = 0; g < 256; ++g)
        table[g] = records[g].data();
    records['C'].fill(0xFF);
    ASSERT_EQ(fpga_font_write(0, table.data()), 0);
    std::string all = "\"font_glyphs\":[0";
    for (int g = 1; g < 256; ++g)
        all += "," + std::to_string(g);
    ASSERT_TRUE(wait_for_board(all + "]")) << "the font table never shown";
    png = c.Get("/board.png");
    ASSERT_TRUE(png);
    EXPECT_EQ(pixel(png->body, x, y), black) << "glyph A is empty now";
    EXPECT_EQ(pixel(png->body, x + 16 + 15, y + 15), black) << "glyph B is empty now";
    EXPECT_NE(pixel(png->body, x + 32, y), black) << "glyph C";
    EXPECT_NE(pixel(png->body, x + 32 + 15, y + 15), black) << "glyph C";
}

// Each input posted to the panel leaves the file exactly as the matching
// `fpgasim set` (or `fpgasim coax --clear`) leaves a copy of it.
TEST(FpgasimServe, InputsWriteTheFileAsSetDoes)
{
    FpgaSim sim;
    init_quietly();
    {
        CaptureStdout cap;
        fpga_coaxctl_pelcod(3, 0x00, 0x08, 0x00, 0x20); // tilt up, queued for the clear below
    }
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    dvrtest::TempDir dir;
    const std::string copy = dir.path() + "/copy";
    struct Case {
        std::string query;
        std::vector<std::string> set; // empty: coax --clear
    } cases[] = {
        {"name=alarm&channel=5&on=1", {"alarm", "0x0020"}},
        {"name=alarm&channel=15&on=1", {"alarm", "0x8020"}},
        {"name=alarm&channel=5&on=0", {"alarm", "0x8000"}},
        {"name=vloss&mask=0x1234", {"vloss", "0x1234"}},
        {"name=termination&channel=3&on=1", {"reg", "0", "0x24", "8", "reg", "0", "0x25", "0"}},
        {"name=termination&mask=0x8001", {"reg", "0", "0x24", "1", "reg", "0", "0x25", "0x80"}},
        {"name=motion&channel=9&on=1", {"motion", "0x0200"}},
        {"name=motion-cell&camera=9&cell=30&value=7", {"motion-cell", "9", "30", "7"}},
        {"name=motion&channel=2&on=1", {"motion", "0x0204"}},
        {"name=motion&channel=9&on=0", {"motion", "0x0004"}},
        {"name=key&offset=0x32&bit=6", {"key", "0x32", "6"}},
        {"name=keys&map=none", {"keys", "none"}},
        {"name=keys&map=0xFEFFFFFFFFFFFFFF", {"keys", "0xFEFFFFFFFFFFFFFF"}},
        {"name=coax-clear", {}},
        {"name=motion-cell&camera=010&cell=010&value=010", {"motion-cell", "10", "10", "10"}}, // decimal, not octal
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.query);
        dvrtest::write_file(copy, dvrtest::read_file(sim.sim_path()));
        int status = 0;
        const std::string body = post_input(p, k.query, status);
        EXPECT_EQ(status, 200) << body;
        RunResult r = k.set.empty() ? fpgasim(copy, {"coax", "--clear"}) : fpgasim(copy, [&] {
            std::vector<std::string> a{"set"};
            a.insert(a.end(), k.set.begin(), k.set.end());
            return a;
        }());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(dvrtest::read_file(copy) == dvrtest::read_file(sim.sim_path()));
    }
    // A program polling through the library sees them (bits 16-31 always set).
    EXPECT_EQ(fpga_get_almin(), 0xFFFF8000u);
    EXPECT_EQ(fpga_get_vloss(), 0xFFFF1234u);
}

TEST(FpgasimServe, BadInputsAreRefusedWithoutAWrite)
{
    FpgaSim sim;
    init_quietly();
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    const std::string before = dvrtest::read_file(sim.sim_path());
    struct Case {
        const char *query, *message;
    } cases[] = {
        {"", "no input named"},
        {"name=door", "unknown input door"},
        {"name=alarm", "alarm needs channel (0-15) and on (0 or 1)"},
        {"name=alarm&channel=16&on=1", "alarm needs channel"},
        {"name=alarm&channel=-1&on=1", "alarm needs channel"},
        {"name=vloss&channel=2&on=2", "vloss needs channel"},
        {"name=alarm&mask=0x10000", "alarm: mask must be a 16-bit number"},
        {"name=termination&mask=", "termination: mask must be"},
        {"name=motion&channel=x&on=1", "motion needs channel"},
        {"name=motion-cell&camera=16&cell=0&value=1", "motion-cell needs camera (0-15)"},
        {"name=motion-cell&camera=0&cell=31&value=1", "motion-cell needs"},
        {"name=motion-cell&camera=0&cell=0&value=256", "motion-cell needs"},
        {"name=key&offset=0x2F&bit=0", "key needs offset (a key register, 0x30-0x34)"},
        {"name=key&offset=0x35&bit=0", "key needs offset"},
        {"name=key&offset=0x30&bit=8", "key needs offset"},
        {"name=keys&map=0x1FFFFFFFFFFFFFFFF", "keys needs map"},
        {"name=keys", "keys needs map"},
        {"name=alarm&channel=1&on=1&bit=3", "alarm: unexpected parameter bit"},
        {"name=coax-clear&all=1", "coax-clear: unexpected parameter all"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.query);
        int status = 0;
        const std::string body = post_input(p, k.query, status);
        EXPECT_EQ(status, 400);
        EXPECT_NE(body.find(std::string("{\"error\":\"") + k.message), std::string::npos) << body;
    }
    EXPECT_TRUE(dvrtest::read_file(sim.sim_path()) == before) << "a refused input wrote to the file";
}

// A page of another origin in the same browser, or a name rebound to
// loopback, reaches the panel with its own Host and Origin and with the
// requests a page may send without asking (a form, a text/plain fetch):
// each is refused with 403 before anything is read or written. The
// panel's own requests (its address or a loopback name with its port,
// its own Origin, the header its page sends, or a JSON body type) pass.
TEST(FpgasimServe, ForeignPagesAndNamesAreRefused)
{
    FpgaSim sim;
    init_quietly();
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    const std::string port = std::to_string(p.port());
    const std::string own = "Host: 127.0.0.1:" + port + "\r\n";
    const std::string input = "POST /api/input?name=alarm&mask=0xFFFF HTTP/1.1\r\n";
    const std::string before = dvrtest::read_file(sim.sim_path());
    struct Case {
        const char *what;
        std::string request;
        int status;
    } cases[] = {
        {"foreign Host, page", "GET / HTTP/1.1\r\nHost: attacker.example:" + port + "\r\n", 403},
        {"foreign Host, board", "GET /api/board HTTP/1.1\r\nHost: attacker.example\r\n", 403},
        {"loopback name, other port", "GET /api/board HTTP/1.1\r\nHost: localhost:1\r\n", 403},
        {"no Host", "GET /api/board HTTP/1.1\r\n", 403},
        {"foreign Host, input", input + "Host: attacker.example:" + port + "\r\nX-Fpgasim-Panel: input\r\n", 403},
        {"foreign Origin", input + own + "Origin: http://attacker.example\r\nX-Fpgasim-Panel: input\r\n", 403},
        {"Origin of another port", input + own + "Origin: http://127.0.0.1:1\r\nX-Fpgasim-Panel: input\r\n", 403},
        {"opaque Origin", input + own + "Origin: null\r\nX-Fpgasim-Panel: input\r\n", 403},
        {"text/plain fetch", input + own + "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\nhi", 403},
        {"form", "POST /api/input HTTP/1.1\r\n" + own +
                     "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 22\r\n\r\nname=alarm&mask=0xFFFF",
         403},
        {"no marker", input + own + "Content-Length: 0\r\n", 403},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string request = k.request;
        if (request.find("\r\n\r\n") == std::string::npos)
            request += "Connection: close\r\n\r\n";
        else
            request.insert(request.find("\r\n\r\n") + 2, "Connection: close\r\n");
        const std::string answer = http(p.port(), request);
        EXPECT_EQ(status_of(answer), k.status) << answer.substr(0, 300);
        EXPECT_NE(answer.find("\r\n\r\n{\"error\":\""), std::string::npos) << answer.substr(0, 300);
    }
    EXPECT_TRUE(dvrtest::read_file(sim.sim_path()) == before) << "a refused request wrote to the file";

    const std::string passes[] = {
        "GET /api/board HTTP/1.1\r\nHost: localhost:" + port + "\r\n",
        "GET /api/board HTTP/1.1\r\nHost: [::1]:" + port + "\r\n",
        "GET / HTTP/1.1\r\n" + own,
        "POST /api/input?name=alarm&mask=0x0001 HTTP/1.1\r\n" + own + "Origin: http://127.0.0.1:" + port +
            "\r\nX-Fpgasim-Panel: input\r\nContent-Length: 0\r\n",
        "POST /api/input?name=alarm&mask=0x0002 HTTP/1.1\r\nHost: localhost:" + port +
            "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n",
    };
    for (const std::string &request : passes) {
        SCOPED_TRACE(request);
        std::string r = request + "Connection: close\r\n\r\n";
        if (r.find("Content-Length: 2") != std::string::npos)
            r += "{}";
        const std::string answer = http(p.port(), r);
        EXPECT_EQ(status_of(answer), 200) << answer.substr(0, 300);
    }
    EXPECT_EQ(fpga_get_almin(), 0xFFFF0002u);
}

// A body larger than any input is refused as soon as its length is
// declared, never read into memory: a 1 GiB declaration streamed at the
// panel gets 413 while the panel's resident size stays where it was.
TEST(FpgasimServe, LargeBodiesAreRefusedUnread)
{
    FpgaSim sim;
    init_quietly();
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    const std::string head = "POST /api/input?name=alarm&mask=1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(p.port()) + "\r\nX-Fpgasim-Panel: input\r\n";
    // Just over the bound, sent whole.
    const std::string over = http(p.port(), head + "Content-Type: application/x-www-form-urlencoded\r\n"
                                                   "Content-Length: 8193\r\nConnection: close\r\n\r\n" +
                                                std::string(8193, 'a'));
    EXPECT_EQ(status_of(over), 413) << over.substr(0, 300);

    const long before = resident_kib(p.pid());
    ASSERT_GT(before, 0);
    dvr::UniqueFd s = connect_to(p.port());
    ASSERT_TRUE(s);
    ASSERT_TRUE(send_all(s.get(), head + "Content-Length: 1073741824\r\n\r\n"));
    // Streams up to 256 MiB of the declared GiB while looking for the answer.
    ASSERT_EQ(::fcntl(s.get(), F_SETFL, O_NONBLOCK), 0);
    const std::string chunk(65536, 'x');
    size_t sent = 0;
    std::string answer;
    bool sending = true;
    for (;;) {
        pollfd pfd{s.get(), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (::poll(&pfd, 1, 30000) <= 0)
            break;
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
            if (n <= 0)
                break;
            answer.append(buf, static_cast<size_t>(n));
            if (answer.find("\r\n\r\n") != std::string::npos)
                break;
        } else if (pfd.revents & POLLOUT) {
            const ssize_t n = ::send(s.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                sending = false;
            if (n > 0 && (sent += static_cast<size_t>(n)) >= (256u << 20))
                sending = false;
        }
    }
    const long after = resident_kib(p.pid());
    EXPECT_EQ(status_of(answer), 413) << "after " << (sent >> 20) << " MiB sent: " << answer.substr(0, 300);
    EXPECT_LT(after - before, 16 * 1024) << "resident size " << before << " KiB before, " << after << " KiB after";
    EXPECT_EQ(fpga_get_almin(), 0xFFFF0000u);
}

// Slow clients (a header byte every 2 s) and open panels (long polls)
// hold no worker anyone else needs: with 64 of each open, the page and
// the board still answer at once, and a slow client is cut off once its
// request has taken too long.
TEST(FpgasimServe, SlowClientsAndLongPollsStarveNothing)
{
    FpgaSim sim;
    init_quietly();
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(p.port()) + "\r\n";
    auto c = p.client();
    auto v = c.Get("/api/version");
    ASSERT_TRUE(v);
    std::vector<dvr::UniqueFd> slow, polls;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(connect_to(p.port()));
        ASSERT_TRUE(slow.back());
        ASSERT_TRUE(send_all(slow.back().get(), "G"));
        polls.push_back(connect_to(p.port()));
        ASSERT_TRUE(polls.back());
        ASSERT_TRUE(send_all(polls.back().get(), "GET /api/version?after=" + std::to_string(version_of(v->body)) +
                                                     " HTTP/1.1\r\n" + host + "\r\n"));
    }
    // The slow clients go on with one byte of a header that never ends
    // every 2 s until the end of the test.
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread drip([&] {
        std::unique_lock<std::mutex> lock(m);
        while (!cv.wait_for(lock, std::chrono::seconds(2), [&] { return done; }))
            for (auto &s : slow)
                send_all(s.get(), "a");
    });
    const std::string page = http(p.port(), "GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    const std::string board = http(p.port(), "GET /api/board HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    const std::string cut = read_until_closed(slow.front().get());
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    }
    drip.join();
    EXPECT_EQ(status_of(page), 200) << page.substr(0, 200);
    EXPECT_NE(page.find("/api/input"), std::string::npos);
    EXPECT_EQ(status_of(board), 200) << board.substr(0, 200);
    EXPECT_NE(board.find("\"outputs\""), std::string::npos);
    // Cut off (closed, perhaps after a 408), not read from for ever.
    char byte = 0;
    const ssize_t n = ::recv(slow.front().get(), &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(n == 0 || (n < 0 && errno != EAGAIN)) << "a slow client is still being read: " << cut;
}

// The simulator file cut short under the running panel (`: > board.sim`)
// and under a program using the library: neither dies; the board says the
// file is not a board file and inputs are refused without a write until the
// file is whole again.
TEST(FpgasimServe, FileCutShortIsShownNotFatal)
{
    FpgaSim sim;
    init_quietly();
    Panel p(sim.sim_path());
    ASSERT_GT(p.port(), 0) << p.first_line();
    ASSERT_EQ(::truncate(sim.sim_path().c_str(), 0), 0);
    const std::string board = board_when(p, "the simulator file is not a board file");
    EXPECT_NE(board.find("\"problem\":\"the simulator file is not a board file\""), std::string::npos) << board;
    int status = 0;
    const std::string refused = post_input(p, "name=alarm&channel=1&on=1", status);
    EXPECT_EQ(status, 409) << refused;
    EXPECT_NE(refused.find("the simulator file is not a board file"), std::string::npos) << refused;
    EXPECT_EQ(dvrtest::read_file(sim.sim_path()).size(), 0u) << "a refused input wrote to the file";
    {
        CaptureStdout cap;
        EXPECT_EQ(fpga_read(0x00, 0x02), -1);
        EXPECT_NE(cap.take().find("is cut short"), std::string::npos);
    }

    // Whole again: the panel shows the board and takes inputs.
    ASSERT_EQ(::truncate(sim.sim_path().c_str(), 262144), 0);
    EXPECT_NE(board_when(p, "\"problem\":null").find("\"problem\":null"), std::string::npos);
    post_input(p, "name=alarm&channel=1&on=1", status);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(fpga_get_almin(), 0xFFFF0002u);
    EXPECT_EQ(p.stop(), 0);
}

// Listening on an address other than loopback (every address, in a
// network namespace of the test's own) comes with a warning before the
// start line; loopback without one.
TEST(FpgasimServe, WarnsWhenListeningBeyondLoopback)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "a network namespace needs root";
    FpgaSim sim;
    dvrtest::TempDir dir;
    for (const char *bind : {"0.0.0.0", "127.0.0.1"}) {
        SCOPED_TRACE(bind);
        const std::string out = dir.path() + "/out-" + bind, err = dir.path() + "/err-" + bind;
        // Started in the background, stopped once its start line is out.
        RunResult r = dvrtest::shell(
            "unshare -n sh -c 'ip link set lo up && { " +
            dvrtest::target_shell_command({DVRPLAT_FPGASIM, "--sim", sim.sim_path(), "serve", "--port", "0", "--bind",
                                           bind}) +
            " >" + out + " 2>" + err + " & p=$!; while [ ! -s " + out + " ] && kill -0 $p; do sleep 0.1; done; kill $p; "
            "wait $p; }'; cat " + err);
        const std::string warning = std::string("fpgasim: serve: warning: listening on ") + bind +
                                    ", not on loopback: anyone who can reach it can drive the board\n";
        if (std::string(bind) == "0.0.0.0")
            EXPECT_EQ(r.out, warning) << r.err;
        else
            EXPECT_EQ(r.out, "") << r.err;
        EXPECT_NE(dvrtest::read_file(out).find(std::string("at http://") + bind + ":"), std::string::npos);
    }
}

TEST(FpgasimServe, RefusesToStartWithoutAFileOrOnATakenPort)
{
    dvrtest::TempDir dir;
    const std::string missing = dir.path() + "/no-such-sim";
    RunResult r = fpgasim(missing, {"serve", "--port", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no simulator file " + missing), std::string::npos) << r.err;
    EXPECT_NE(::access(missing.c_str(), F_OK), 0) << "the server created the file";

    RunResult env_missing = dvrtest::run({DVRPLAT_FPGASIM, "serve"}, {"DVRPLAT_FPGA_SIM="});
    EXPECT_EQ(env_missing.status, 2);
    EXPECT_NE(env_missing.err.find("no simulator file"), std::string::npos) << env_missing.err;

    // A port someone else listens on.
    FpgaSim sim;
    dvr::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(s);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(s.get(), 1), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &len), 0);
    const std::string port = std::to_string(ntohs(a.sin_port));
    RunResult taken = fpgasim(sim.sim_path(), {"serve", "--port", port});
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("cannot listen on 127.0.0.1 port " + port), std::string::npos) << taken.err;

    // A port another panel listens on (started like the first, so a
    // second panel that did listen is stopped by the test, not waited for).
    {
        Panel first(sim.sim_path());
        ASSERT_GT(first.port(), 0) << first.first_line();
        Panel second(sim.sim_path(), first.port());
        EXPECT_EQ(second.first_line(), "") << "a second panel listens on the first one's port";
        EXPECT_EQ(second.stop(), 1);
    }

    for (const char *bad : {"65536", "-1", "http"}) {
        RunResult b = fpgasim(sim.sim_path(), {"serve", "--port", bad});
        EXPECT_EQ(b.status, 2) << bad;
        EXPECT_NE(b.err.find("--port needs a port number"), std::string::npos) << b.err;
    }
}

#endif
