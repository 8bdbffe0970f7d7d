// devtest: the device layer's interactive test tool. Prints the device
// test menu, reads a choice from standard input and runs the entry's
// operation, until Exit or the end of the input. With DVRPLAT_ROOT set it
// works on the simulated machine under that directory.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "DEV.h"
#include "board_root.h"
#include "dvrplat_version.h"

namespace {

enum Entry {
    kReload,
    kSgName,
    kSdName,
    kDevName,
    kRescan,
    kQueryAll,
    kGetMpt,
    kGetMpt8,
    kSgToSd,
    kSdToSg,
    kDiscInfo,
    kNfsMount,
    kCheckPartition,
    kMajor,
    kMinor,
    kConvert,
    kSmart,
    kExit,
};

void defaults(DEV_TEST_MENU &m)
{
    m = DEV_TEST_MENU{};
    std::strcpy(m.sg, "/dev/sg0");
    std::strcpy(m.sd, "/dev/sda");
    std::strcpy(m.dev, "/dev/scd0");
    m.major = 8;
    m.minor = 0;
}

// Characters an input line may hold: far more than any name or number
// the tool asks for, while a line without end never fills the memory.
constexpr size_t kMaxLine = 255;

enum class Answer { Line, Refused, End };

// One input line without its line end. A line longer than kMaxLine is
// refused; the rest of it is read and dropped, never kept.
Answer read_line(std::string &line)
{
    line.clear();
    int c;
    bool too_long = false;
    while ((c = std::getchar()) != EOF && c != '\n') {
        if (line.size() < kMaxLine)
            line.push_back(static_cast<char>(c));
        else
            too_long = true;
    }
    if (too_long) {
        line.clear();
        return Answer::Refused;
    }
    if (c == EOF && line.empty())
        return Answer::End;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return Answer::Line;
}

Answer ask(const char *prompt, std::string &answer)
{
    std::printf("%s", prompt);
    std::fflush(stdout);
    Answer a = read_line(answer);
    if (a == Answer::Refused)
        std::printf("Line longer than %zu characters refused\n", kMaxLine);
    return a;
}

bool parse_int(const std::string &text, int &value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < -2147483647L - 1 || v > 2147483647L)
        return false;
    value = static_cast<int>(v);
    return true;
}

// Asks for a node name into a fixed field; over-long names are refused.
bool ask_name(const char *prompt, char (&field)[DEV_NODE_SIZE])
{
    std::string name;
    Answer a = ask(prompt, name);
    if (a != Answer::Line)
        return a == Answer::Refused;
    if (name.empty() || name.size() >= sizeof field) {
        std::printf("Name \"%s\" refused: 1 to %zu characters\n", name.c_str(), sizeof field - 1);
        return true;
    }
    std::memcpy(field, name.c_str(), name.size() + 1);
    return true;
}

bool ask_number(const char *prompt, int32_t &value)
{
    std::string text;
    Answer a = ask(prompt, text);
    if (a != Answer::Line)
        return a == Answer::Refused;
    int v;
    if (!parse_int(text, v))
        std::printf("Number \"%s\" refused\n", text.c_str());
    else
        value = v;
    return true;
}

void query_all()
{
    DEV_INFO table[DEV_MAX_DEVICES] = {};
    const int n = Dev_Get(table);
    std::printf("Dev_Get() = %d\n", n);
    for (int i = 0; i < n; ++i) {
        const DEV_INFO &d = table[i];
        std::printf("  [%d] %-24s %-10s %-10s %-9s %-6s bus %d (%d,%d,%d,%d) mpt \"%s\"\n", i, d.model, d.dev, d.sg,
                    d.ready ? "Ready" : "Not Ready", d.cdrom ? "CD-ROM" : "HDD", d.bus, d.host, d.channel, d.id,
                    d.lun, d.mpt);
    }
}

void disc_info(const DEV_TEST_MENU &m)
{
    DEV_INFO rec{};
    std::memcpy(rec.dev, m.dev, sizeof rec.dev);
    const int found = Dev_SdToSg(rec.sg, m.dev);
    if (found < 0) {
        std::printf("No SCSI generic node for %s\n", m.dev);
        return;
    }
    rec.cdrom = std::strncmp(m.dev, "/dev/sd", 7) != 0;
    const int r = Dev_GetDiscInfo(&rec);
    std::printf("Dev_GetDiscInfo(%s) = %d\n", m.dev, r);
    if (r == 0)
        Dev_ShowDiscInfo(&rec.details.disc);
}

void nfs_mount()
{
    std::string src, dst;
    if (ask("NFS source (host:/dir) : ", src) != Answer::Line || ask("Mount point : ", dst) != Answer::Line)
        return;
    std::printf("Dev_Mount(%s, %s) = %d\n", src.c_str(), dst.c_str(), Dev_Mount(src.c_str(), dst.c_str(), DEV_FS_AUTO));
}

// Runs one entry; false ends the tool.
bool run(int choice, DEV_TEST_MENU &m)
{
    char name[DEV_NODE_SIZE];
    char mpt[DEV_MPT_SIZE];
    switch (choice) {
    case kReload:
        defaults(m);
        return true;
    case kSgName:
        return ask_name("SG name : ", m.sg);
    case kSdName:
        return ask_name("SD name : ", m.sd);
    case kDevName:
        return ask_name("DEV name : ", m.dev);
    case kRescan:
        std::printf("Dev_Rescan() = %d\n", Dev_Rescan());
        return true;
    case kQueryAll:
        query_all();
        return true;
    case kGetMpt:
    case kGetMpt8: {
        std::memset(mpt, 0, sizeof mpt);
        const int r = choice == kGetMpt ? Dev_GetMPT(m.dev, mpt) : Dev_nGetMPT(m.dev, mpt, 8);
        std::printf("%s(%s) = %d : \"%s\"\n", choice == kGetMpt ? "Dev_GetMPT" : "Dev_nGetMPT", m.dev, r, mpt);
        return true;
    }
    case kSgToSd: {
        std::memset(name, 0, sizeof name);
        const int r = Dev_SgToSd(name, m.sg);
        std::printf("Dev_SgToSd(%s) = %d : \"%s\"\n", m.sg, r, name);
        if (r >= 0)
            std::memcpy(m.sd, name, sizeof m.sd);
        return true;
    }
    case kSdToSg: {
        std::memset(name, 0, sizeof name);
        const int r = Dev_SdToSg(name, m.sd);
        std::printf("Dev_SdToSg(%s) = %d : \"%s\"\n", m.sd, r, name);
        if (r >= 0)
            std::memcpy(m.sg, name, sizeof m.sg);
        return true;
    }
    case kDiscInfo:
        disc_info(m);
        return true;
    case kNfsMount:
        nfs_mount();
        return true;
    case kCheckPartition:
        std::printf("Dev_CheckPartition(%s) = %d\n", m.dev, Dev_CheckPartition(dvr::board_path(m.dev).c_str()));
        return true;
    case kMajor:
        return ask_number("Major number : ", m.major);
    case kMinor:
        return ask_number("Minor number : ", m.minor);
    case kConvert: {
        char node[32] = {};
        const int r = Dev_ConvertMajorMinor(m.major, m.minor, node);
        std::printf("Dev_ConvertMajorMinor(%d, %d) = %d : \"%s\"\n", m.major, m.minor, r, node);
        return true;
    }
    case kSmart: {
        DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0};
        const int r = Dev_GetSmartValue(m.dev, &req);
        if (r == 0)
            std::printf("Dev_GetSmartValue(%s) = 0 : %d degree\n", m.dev, static_cast<int8_t>(req.value));
        else
            std::printf("Dev_GetSmartValue(%s) = %d\n", m.dev, r);
        return true;
    }
    case kExit:
        return false;
    default:
        std::printf("No entry %d\n", choice);
        return true;
    }
}

void usage(FILE *to)
{
    std::fprintf(to,
                 "usage: devtest [-g sg] [-s sd] [-d dev]\n"
                 "       devtest -h | --help | --version\n"
                 "Prints the device test menu and runs the chosen entries, read one a line from\n"
                 "standard input, until Exit or the end of the input. With DVRPLAT_ROOT set, works\n"
                 "on the simulated machine under that directory.\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("devtest %s\n", DVRPLAT_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    DEV_TEST_MENU m;
    defaults(m);
    int opt;
    while ((opt = getopt(argc, argv, "hg:s:d:")) != -1) {
        char *field = opt == 'g' ? m.sg : opt == 's' ? m.sd : opt == 'd' ? m.dev : nullptr;
        if (opt == 'h') {
            usage(stdout);
            return 0;
        }
        if (!field) {
            usage(stderr);
            return 2;
        }
        if (std::strlen(optarg) >= DEV_NODE_SIZE) {
            std::fprintf(stderr, "devtest: name \"%s\" longer than %d characters\n", optarg, DEV_NODE_SIZE - 1);
            return 2;
        }
        std::strcpy(field, optarg);
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }
    for (;;) {
        Dev_TestMenu(&m);
        std::string line;
        Answer a = ask("Select : ", line);
        if (a == Answer::End)
            break;
        if (a == Answer::Refused)
            continue;
        int choice;
        if (!parse_int(line, choice)) {
            std::printf("No entry \"%s\"\n", line.c_str());
            continue;
        }
        if (!run(choice, m))
            break;
        std::fflush(stdout);
    }
    std::printf("\n");
    return 0;
}
