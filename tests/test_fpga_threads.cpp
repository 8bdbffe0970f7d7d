// labels: threads
// Several threads run mixed register operations against the simulator; the
// port trace must then split into whole operation sequences, none of them
// interleaved with another.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "blocked_stdout.h"
#include "fpga.h"
#include "fpga_expect.h"
#include "fpga_sim.h"

using dvrtest::CaptureStdout;
using dvrtest::FpgaSim;
using dvrtest::Trace;

namespace {

// The trace of one operation; "*" in place of the value matches any.
struct Pattern {
    std::string name;
    std::vector<std::string> lines;
};

bool matches(const std::vector<std::string> &trace, size_t at, const Pattern &p)
{
    if (at + p.lines.size() > trace.size())
        return false;
    for (size_t i = 0; i < p.lines.size(); ++i) {
        const std::string &want = p.lines[i], &got = trace[at + i];
        if (want.size() == 3 && want[2] == '*') {
            if (got.size() != 4 || got[0] != want[0])
                return false;
        } else if (want != got) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> any_values(const Trace &t, const std::string &kinds)
{
    std::vector<std::string> out;
    for (const auto &l : t.lines())
        out.push_back(kinds.find(l[0]) != std::string::npos ? l.substr(0, 2) + "*" : l);
    return out;
}

} // namespace

TEST(FpgaThreads, SequencesAreNeverInterleaved)
{
    FpgaSim sim;
    const unsigned char cams[4] = {1, 2, 3, 4};
    const unsigned char text[8] = {0, 'a', 0, 'b', 0, 'c', 0, 'd'};

    // What each operation leaves in the trace.
    std::vector<Pattern> patterns;
    {
        Trace t = dvrtest::allpath_off_trace(0);
        t.A(0x01);
        for (unsigned i = 0; i < 4; ++i)
            t.OW(i, 0xA0 | cams[i]).OW(16 + i, (i % 2) * 6).OW(32 + i, (i / 2) * 30);
        patterns.push_back({"layout", t.lines()});
    }
    {
        Trace t;
        t.A(0x01);
        for (unsigned i = 0; i < 16; ++i)
            t.O(0x50 + i).R(0).O(0x50 + i).W(0);
        patterns.push_back({"freeze", any_values(t, "RW")});
    }
    patterns.push_back({"zoom", any_values(Trace().A(0x01).OW(0x70, 0).OW(0x71, 0), "W")});
    {
        Trace t;
        t.A(0x10);
        for (unsigned i = 0; i < 4; ++i)
            t.OW(20 + i * 2, text[i * 2]).OW(21 + i * 2, text[i * 2 + 1]);
        patterns.push_back({"text", t.lines()});
    }
    patterns.push_back({"pelco-d", Trace().A(0x60).W(0x12).W(1).W(2).W(3).W(4).lines()});
    patterns.push_back({"rqtl", Trace().A(0x60).W(0x35).W(1).W(2).W(3).W(4).W(5).W(6).W(7).W(8).lines()});
    {
        Trace t;
        for (unsigned bank = 0; bank < 2; ++bank) {
            t.A(0xA3 + bank);
            for (unsigned k = 0; k < 8 * 31; ++k)
                t.O(k).S(0);
        }
        patterns.push_back({"motion", t.lines()});
    }
    patterns.push_back({"alarm", any_values(Trace().A(0x00).O(0x21).S(0).O(0x22).S(0), "S")});
    patterns.push_back({"keys", any_values(Trace().A(0x00).O(0x30).R(0).O(0x31).R(0).O(0x32).R(0).O(0x33).R(0)
                                               .O(0x34).R(0),
                                           "R")});
    patterns.push_back({"write", Trace().A(0x00).OW(0x24, 0x5A).lines()});
    patterns.push_back({"read", any_values(Trace().A(0x00).O(0x10).R(0), "R")});

    constexpr int kRounds = 200;
    constexpr int kMotionRounds = 10;
    std::map<std::string, int> calls;
    std::vector<std::function<void()>> workers = {
        [&] { for (int i = 0; i < kRounds; ++i) fpga_4split_disp(0, cams, 0, 0); },
        [&] { for (int i = 0; i < kRounds; ++i) fpga_freeze_onoff(1, i & 1); },
        [&] {
            for (int i = 0; i < kRounds; ++i) {
                fpga_x2zoom_disp(1, 0, (i & 1) ? 40 : -40, 3, 0, 0);
                fpga_osd_write(0, text, sizeof text, 10, 0);
            }
        },
        [&] {
            for (int i = 0; i < kRounds; ++i) {
                fpga_coaxctl_pelcod(2, 1, 2, 3, 4);
                fpga_coaxctl_rqtl(5, 1, 2, 3, 4, 5, 6, 7, 8);
            }
        },
        [&] {
            for (int i = 0; i < kMotionRounds; ++i)
                fpga_get_motion();
        },
        [&] {
            for (int i = 0; i < kRounds; ++i) {
                fpga_get_almin();
                fpga_read_keymap();
                fpga_write(0x00, 0x24, 0x5A);
                fpga_read(0x00, 0x10);
            }
        },
    };
    {
        CaptureStdout cap; // freeze prints a line per register
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (auto &w : workers)
            threads.emplace_back([&go, &w] {
                while (!go.load())
                    std::this_thread::yield();
                w();
            });
        go.store(true);
        for (auto &t : threads)
            t.join();
    }

    const auto trace = sim.trace();
    std::map<std::string, int> seen;
    size_t at = 0;
    while (at < trace.size()) {
        const Pattern *hit = nullptr;
        for (const auto &p : patterns)
            if (matches(trace, at, p)) {
                hit = &p;
                break;
            }
        if (!hit) {
            std::string context;
            for (size_t i = at; i < trace.size() && i < at + 12; ++i)
                context += trace[i] + " | ";
            FAIL() << "no whole operation at trace line " << at + 1 << ": " << context;
        }
        ++seen[hit->name];
        at += hit->lines.size();
    }
    const std::map<std::string, int> expect = {
        {"layout", kRounds}, {"freeze", kRounds}, {"zoom", kRounds},  {"text", kRounds},
        {"pelco-d", kRounds}, {"rqtl", kRounds},  {"motion", kMotionRounds}, {"alarm", kRounds},
        {"keys", kRounds},   {"write", kRounds},  {"read", kRounds},
    };
    EXPECT_EQ(seen, expect);
    EXPECT_EQ(sim.coax().size(), static_cast<size_t>(kRounds) * 14);
}

// The layer's reports are printed after gFpgaMutex is released: a thread
// stuck in its report (standard output that nobody reads) holds up no
// other thread's register access. The reports and the register sequence
// are unchanged.
TEST(FpgaThreads, BlockedReportHoldsNoRegisterAccess)
{
    FpgaSim sim;
    const unsigned char cams[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    struct Case {
        const char *name;
        std::function<void()> call;
        int lines; // report lines
    } cases[] = {
        {"fpga_16split_disp", [&] { fpga_16split_disp(1, cams, 0, 0); }, 16},
        {"fpga_fullscr_disp", [&] { fpga_fullscr_disp(0, cams, 0, 0); }, 1},
        {"fpga_freeze_onoff", [] { fpga_freeze_onoff(0, 0); }, 16},
    };
    for (const Case &c : cases) {
        // The sequence alone, once the registers hold what it writes.
        CaptureStdout quiet;
        c.call();
        sim.clear_trace();
        c.call();
        quiet.take();
        const std::vector<std::string> alone = sim.trace();
        sim.set_reg(0x7E, 0x01, 0x5A);
        sim.clear_trace();

        bool blocked = false, accessed = false;
        int value = -1;
        std::string out;
        {
            dvrtest::BlockedStdout stuck;
            ASSERT_TRUE(stuck.ok());
            std::thread reporter(c.call);
            blocked = stuck.wait_blocked();
            dvrtest::Done done;
            std::thread other([&] {
                value = fpga_read(0x7E, 0x01);
                done.set();
            });
            accessed = blocked && done.wait(std::chrono::seconds(30));
            stuck.release();
            reporter.join();
            other.join();
            out = stuck.text();
        }
        EXPECT_TRUE(blocked) << c.name << ": no report was written";
        EXPECT_TRUE(accessed) << c.name << ": a register read waited for a blocked report";
        EXPECT_EQ(value, 0x5A) << c.name;
        std::vector<std::string> want = alone;
        const std::vector<std::string> read = dvrtest::trace_read(0x7E, 0x01, 0x5A);
        std::vector<std::string> got = sim.trace();
        // The read comes after the reporter's whole sequence.
        want.insert(want.end(), read.begin(), read.end());
        EXPECT_EQ(got, want) << c.name;
        int lines = 0;
        for (char ch : out)
            lines += ch == '\n';
        EXPECT_EQ(lines, c.lines) << c.name << ": " << out;
    }
}

// Relative zoom moves from several threads at once: each thread moves the
// window back and forth by whole register steps, so that every move
// cancels out and the window ends where it began. A move that read the
// window's place while another was changing it would leave it off by a
// step (and ThreadSanitizer would name the race).
TEST(FpgaThreads, ConcurrentZoomMovesLoseNoStep)
{
    FpgaSim sim;
    // From anywhere to (0, 0), then to (180, 120): h 45 (with the switch
    // bit 0x80), v 60 in the registers.
    ASSERT_EQ(fpga_x2zoom_disp(0, 0, INT_MIN, INT_MIN, 0, 0), 0);
    ASSERT_EQ(fpga_x2zoom_disp(0, 0, 180, 120, 0, 0), 0);
    ASSERT_EQ(sim.reg(0x01, 0x30), 0xAD);
    ASSERT_EQ(sim.reg(0x01, 0x31), 0x3C);
    constexpr int kThreads = 4, kMoves = 1000;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            // Half the threads start forward, half back, on both outputs.
            const int sign = t % 2 ? 1 : -1;
            for (int i = 0; i < kMoves; ++i) {
                const int s = i % 2 ? -sign : sign;
                if (fpga_x2zoom_disp(t / 2, 0, 4 * s, 2 * s, 0, 0) != 0)
                    ++failures;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    // Where the window is now: a move of (0, 0) writes it out.
    sim.clear_trace();
    ASSERT_EQ(fpga_x2zoom_disp(1, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(sim.trace(), Trace().A(0x01).OW(0x70, 0xAD).OW(0x71, 0x3C).lines());
}
