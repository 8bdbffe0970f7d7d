// fpgasim: looks at and drives the board simulator file that the library
// uses in place of the FPGA register window (DVRPLAT_FPGA_SIM).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board.h"
#include "dvrplat_version.h"
#include "serve.h"
#include "fpga_internal.h"
#include "owners.h"

namespace sim = fpga_detail::sim;
using fpgasim::parse_number;

namespace {

const char kUsage[] =
    "Usage: fpgasim [--sim FILE] COMMAND ...\n"
    "       fpgasim --version\n"
    "The simulator file is FILE, or else the one DVRPLAT_FPGA_SIM names.\n"
    "\n"
    "  show                 both video outputs, the text layer, cursor, palettes,\n"
    "                       motion overlay, inputs and the recording selection\n"
    "  show --png FILE      the same drawn as a PNG picture\n"
    "  set NAME VALUE...    sets inputs that the program under test reads:\n"
    "      alarm MASK           alarm inputs (bit n: input n)\n"
    "      vloss MASK           video loss (bit n: camera n)\n"
    "      motion MASK          motion (bit n: camera n shows motion in its first cell;\n"
    "                           the other cameras' cells are cleared)\n"
    "      motion-cell CAM CELL VALUE   one motion cell byte (CAM 0-15, CELL 0-30)\n"
    "      keys MAP|none        key registers from a 64-bit key map (bits 63-24;\n"
    "                           a 0 bit is a pressed key); none releases all keys\n"
    "      key OFFSET BIT       only this key down (key register 0x30-0x34, bit 0-7)\n"
    "      reg ADDR OFFSET VALUE      one register byte (data port)\n"
    "      status ADDR OFFSET VALUE   one status input byte (status port)\n"
    "  coax [--clear]       the queued coaxial messages, decoded; --clear empties\n"
    "                       the queue after listing it\n"
    "  serve [--port N] [--bind ADDR]   the board as a live page in a browser, with\n"
    "                       its inputs (default 127.0.0.1 port 8020; port 0 picks a\n"
    "                       free one); runs until interrupted\n"
    "Numbers are decimal or 0x hexadecimal.\n";

// A command line of the wrong shape (unknown option, command or input, an
// argument too many): the message and the usage.
int usage_error(const char *what)
{
    std::fprintf(stderr, "fpgasim: %s\n%s", what, kUsage);
    return 2;
}

// A known command given a value out of range or missing, or no simulator
// file: the message alone, which says what is wanted.
int argument_error(const char *what)
{
    std::fprintf(stderr, "fpgasim: %s (see fpgasim --help)\n", what);
    return 2;
}

// The simulator file opened for writing, created and extended as fpga_open
// would.
class SimWriter {
public:
    bool open(const std::string &path, std::string &error)
    {
        fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!fd_) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0 ||
            (st.st_size < static_cast<off_t>(sim::kFileSize) &&
             ::ftruncate(fd_.get(), static_cast<off_t>(sim::kFileSize)) != 0)) {
            error = "cannot extend " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool put(size_t at, const uint8_t *bytes, size_t n, std::string &error)
    {
        if (::pwrite(fd_.get(), bytes, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
            error = std::string("write failed: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool reg(unsigned a, unsigned o, uint8_t v, std::string &e) { return put(sim::kRegisters + sim::reg(a, o), &v, 1, e); }
    bool status(unsigned a, unsigned o, uint8_t v, std::string &e) { return put(sim::kStatus + sim::reg(a, o), &v, 1, e); }

private:
    dvr::UniqueFd fd_;
};

int cmd_show(const std::string &path, const std::vector<std::string> &args)
{
    std::string png;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--png" && i + 1 < args.size())
            png = args[++i];
        else
            return usage_error(("show: unexpected argument " + args[i]).c_str());
    }
    fpgasim::Board b;
    std::string error;
    if (!fpgasim::load(path, b, error)) {
        std::fprintf(stderr, "fpgasim: %s\n", error.c_str());
        return 1;
    }
    if (png.empty()) {
        std::fputs(fpgasim::render_text(b).c_str(), stdout);
        return 0;
    }
    if (!fpgasim::write_png(b, png, error)) {
        std::fprintf(stderr, "fpgasim: %s\n", error.c_str());
        return 1;
    }
    int w = 0, h = 0;
    fpgasim::picture_size(w, h);
    std::printf("%s: %d x %d picture of %s\n", png.c_str(), w, h, path.c_str());
    return 0;
}

int cmd_set(const std::string &path, const std::vector<std::string> &args)
{
    if (args.empty())
        return usage_error("set: nothing to set");
    // Check every assignment before writing any.
    struct Write {
        bool status;
        unsigned address, offset;
        uint8_t value;
    };
    std::vector<Write> writes;
    auto arg = [&](size_t i) { return i < args.size() ? args[i].c_str() : nullptr; };
    size_t i = 0;
    while (i < args.size()) {
        const std::string name = args[i];
        unsigned long long a = 0, b = 0, c = 0;
        if (name == "alarm" || name == "vloss") {
            if (!parse_number(arg(i + 1), 0xFFFF, a))
                return argument_error((name + " needs a 16-bit mask").c_str());
            const unsigned lo = name == "alarm" ? 0x21 : 0x26;
            writes.push_back({true, 0x00, lo, static_cast<uint8_t>(a)});
            writes.push_back({true, 0x00, lo + 1, static_cast<uint8_t>(a >> 8)});
            i += 2;
        } else if (name == "motion") {
            if (!parse_number(arg(i + 1), 0xFFFF, a))
                return argument_error("motion needs a 16-bit mask");
            for (unsigned cam = 0; cam < 16; ++cam)
                for (unsigned k = 0; k < 31; ++k)
                    writes.push_back({true, 0xA3 + cam / 8, (cam % 8) * 31 + k,
                                      static_cast<uint8_t>(k == 0 && ((a >> cam) & 1) ? 1 : 0)});
            i += 2;
        } else if (name == "motion-cell") {
            if (!parse_number(arg(i + 1), 15, a) || !parse_number(arg(i + 2), 30, b) || !parse_number(arg(i + 3), 255, c))
                return argument_error("motion-cell needs CAM (0-15), CELL (0-30) and VALUE (0-255)");
            writes.push_back({true, 0xA3 + static_cast<unsigned>(a) / 8, static_cast<unsigned>(a % 8 * 31 + b),
                              static_cast<uint8_t>(c)});
            i += 4;
        } else if (name == "keys") {
            if (arg(i + 1) && std::string(arg(i + 1)) == "none")
                a = ~0ull;
            else if (!parse_number(arg(i + 1), ~0ull, a))
                return argument_error("keys needs a 64-bit key map or none");
            for (unsigned k = 0; k < 5; ++k)
                writes.push_back({false, 0x00, 0x30 + k, static_cast<uint8_t>(a >> (24 + 8 * k))});
            i += 2;
        } else if (name == "key") {
            if (!parse_number(arg(i + 1), 0x34, a) || a < 0x30 || !parse_number(arg(i + 2), 7, b))
                return argument_error("key needs a key register (0x30-0x34) and a bit (0-7)");
            for (unsigned k = 0; k < 5; ++k)
                writes.push_back({false, 0x00, 0x30 + k,
                                  static_cast<uint8_t>(0x30 + k == a ? ~(1u << b) & 0xFF : 0xFF)});
            i += 3;
        } else if (name == "reg" || name == "status") {
            if (!parse_number(arg(i + 1), 255, a) || !parse_number(arg(i + 2), 255, b) || !parse_number(arg(i + 3), 255, c))
                return argument_error((name + " needs ADDR, OFFSET and VALUE (0-255 each)").c_str());
            writes.push_back({name == "status", static_cast<unsigned>(a), static_cast<unsigned>(b),
                              static_cast<uint8_t>(c)});
            i += 4;
        } else {
            return usage_error(("set: unknown input " + name).c_str());
        }
    }
    SimWriter w;
    std::string error;
    if (!w.open(path, error)) {
        std::fprintf(stderr, "fpgasim: %s\n", error.c_str());
        return 1;
    }
    for (const Write &x : writes) {
        if (!(x.status ? w.status(x.address, x.offset, x.value, error) : w.reg(x.address, x.offset, x.value, error))) {
            std::fprintf(stderr, "fpgasim: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}

int cmd_coax(const std::string &path, const std::vector<std::string> &args)
{
    bool clear = false;
    for (const auto &a : args) {
        if (a == "--clear")
            clear = true;
        else
            return usage_error(("coax: unexpected argument " + a).c_str());
    }
    fpgasim::Board b;
    std::string error;
    if (!fpgasim::load(path, b, error)) {
        std::fprintf(stderr, "fpgasim: %s\n", error.c_str());
        return 1;
    }
    std::printf("Coaxial queue: %zu bytes\n%s", b.coax.size(), fpgasim::decode_coax(b.coax).c_str());
    if (clear) {
        SimWriter w;
        const uint8_t zero[4] = {0, 0, 0, 0};
        if (!w.open(path, error) || !w.put(sim::kCoaxCount, zero, sizeof zero, error)) {
            std::fprintf(stderr, "fpgasim: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string path;
    const char *env = std::getenv("DVRPLAT_FPGA_SIM");
    if (env)
        path = env;
    size_t i = 0;
    while (i < args.size() && (args[i].rfind("--", 0) == 0 || args[i] == "-h")) {
        if (args[i] == "--sim" && i + 1 < args.size()) {
            path = args[i + 1];
            i += 2;
        } else if (args[i] == "--version") {
            std::printf("fpgasim %s\n", DVRPLAT_VERSION);
            return 0;
        } else if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            return usage_error(("unknown option " + args[i]).c_str());
        }
    }
    if (i >= args.size())
        return usage_error("no command given");
    if (path.empty())
        return argument_error("no simulator file: give --sim FILE or set DVRPLAT_FPGA_SIM");
    const std::string cmd = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    if (cmd == "show")
        return cmd_show(path, rest);
    if (cmd == "set")
        return cmd_set(path, rest);
    if (cmd == "coax")
        return cmd_coax(path, rest);
    if (cmd == "serve")
        return fpgasim::serve(path, rest);
    return usage_error(("unknown command " + cmd).c_str());
}
