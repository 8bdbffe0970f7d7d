// labels: threads
// Register access through the board simulator and its trace.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "COMMON.h"
#include "fpga.h"
#include "fpga_internal.h"
#include "fpga_sim.h"

using dvrtest::CaptureStdout;
using dvrtest::FpgaSim;
using Lines = std::vector<std::string>;

static Lines cat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(FpgaOpen, WithoutBoardReportsAndTouchesNothing)
{
    unsetenv("DVRPLAT_FPGA_SIM");
    unsetenv("DVRPLAT_FPGA_TRACE");
    if (access("/dev/mem", F_OK) == 0)
        GTEST_SKIP() << "this machine has /dev/mem";
    CaptureStdout cap;
    EXPECT_EQ(fpga_open(), -1);
    std::string out = cap.take();
    EXPECT_NE(out.find("fpga,"), std::string::npos);
    EXPECT_NE(out.find(":fpga_open(): open(/dev/mem) error : No such file or directory\n"), std::string::npos) << out;
    EXPECT_EQ(Ce_Cpld, static_cast<volatile unsigned char *>(MAP_FAILED));
    // Unmapped: reads give 0 and writes go nowhere.
    fpga_write(0x01, 0x02, 0x33);
    EXPECT_EQ(fpga_read(0x01, 0x02), 0);
    EXPECT_EQ(fpga_read_wo_lock(0x01, 0x02), 0);
}

TEST(FpgaOpen, SimulatorFileIsCreatedAndKept)
{
    dvrtest::TempDir dir;
    std::string path = dir / "sim";
    {
        // An existing smaller file keeps its bytes and grows.
        dvrtest::write_file(path, std::string("\x11\x22", 2));
        dvrtest::ScopedEnv sim("DVRPLAT_FPGA_SIM", path);
        ASSERT_EQ(fpga_open(), 0);
        EXPECT_NE(Ce_Cpld, static_cast<volatile unsigned char *>(MAP_FAILED));
        EXPECT_EQ(fpga_read(0x00, 0x00), 0x11);
        EXPECT_EQ(fpga_read(0x00, 0x01), 0x22);
    }
    EXPECT_GE(dvrtest::read_file(path).size(), 131072u);
    {
        dvrtest::ScopedEnv sim("DVRPLAT_FPGA_SIM", dir / "missing-dir/sim");
        CaptureStdout cap;
        EXPECT_EQ(fpga_open(), -1);
        EXPECT_NE(cap.take().find("fpga_open(): open("), std::string::npos);
        EXPECT_EQ(Ce_Cpld, static_cast<volatile unsigned char *>(MAP_FAILED));
    }
}

TEST(FpgaOpen, ReopeningTheSameFileHoldsNoFurtherDescriptor)
{
    // A program may call fpga_open again and again (each display setup
    // does): on the same simulator file it must not take a descriptor
    // each time, or a board's limit of 1024 runs out.
    FpgaSim sim;
    const int before = dvrtest::open_descriptors();
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(fpga_open(), 0);
    EXPECT_EQ(dvrtest::open_descriptors(), before);
    fpga_write(0x05, 0x06, 0x5A);
    EXPECT_EQ(fpga_read(0x05, 0x06), 0x5A);
}

TEST(FpgaAccess, ReadWriteThroughLatches)
{
    FpgaSim sim;
    fpga_write(0x01, 0x45, 0x1AB);
    EXPECT_EQ(sim.reg(0x01, 0x45), 0xAB);
    sim.set_reg(0x00, 0x02, 0x5C);
    EXPECT_EQ(fpga_read(0x00, 0x02), 0x5C);
    // Only the low 8 bits of address and offset reach the latches.
    fpga_write(0x1B0, 0x103, 0x07);
    EXPECT_EQ(sim.reg(0xB0, 0x03), 0x07);
    EXPECT_EQ(sim.trace(), cat({dvrtest::trace_write(0x01, 0x45, 0xAB), dvrtest::trace_read(0x00, 0x02, 0x5C),
                                dvrtest::trace_write(0xB0, 0x03, 0x07)}));

    sim.clear_trace();
    fpga_write_wo_lock(0x02, 0x03, 0x04);
    EXPECT_EQ(fpga_read_wo_lock(0x02, 0x03), 0x04);
    EXPECT_EQ(sim.trace(), cat({dvrtest::trace_write(0x02, 0x03, 0x04), dvrtest::trace_read(0x02, 0x03, 0x04)}));
}

TEST(FpgaAccess, BoardReaders)
{
    FpgaSim sim;
    const struct {
        int (*fn)(void);
        unsigned offset;
    } readers[] = {
        {fpga_read_pcbinfo, 0x00}, {fpga_read_brdid, 0x01},     {fpga_read_cpldver, 0x02},
        {fpga_read_cpldver2, 0x02}, {fpga_read_topfpgaver, 0x03}, {fpga_read_botfpgaver, 0x04},
        {fpga_read_brdver, 0x10},
    };
    for (unsigned o : {0x00u, 0x01u, 0x02u, 0x03u, 0x04u, 0x10u})
        sim.set_reg(0x00, o, static_cast<uint8_t>(0xA0 + o));
    for (auto &r : readers) {
        sim.clear_trace();
        EXPECT_EQ(r.fn(), static_cast<int>(0xA0 + r.offset));
        EXPECT_EQ(sim.trace(), dvrtest::trace_read(0x00, r.offset, 0xA0 + r.offset));
    }
    EXPECT_EQ(fpga_subread_cpld(0x04), 0xA4);
}

TEST(FpgaAccess, StatusPortAndCoaxQueue)
{
    FpgaSim sim;
    sim.set_status(0x00, 0x21, 0x81);
    dvr::fpga::locked([] {
        dvr::fpga::latch(0x00, 0x21);
        EXPECT_EQ(dvr::fpga::status_read(), 0x81);
        // The coaxial address queues data-port writes.
        dvr::fpga::port_write(dvr::fpga::Port::Address, 0x60);
        for (unsigned b : {0xFFu, 0x01u, 0x00u})
            dvr::fpga::data_write(b);
    });
    EXPECT_EQ(sim.coax(), (std::vector<uint8_t>{0xFF, 0x01, 0x00}));
    EXPECT_EQ(sim.reg(0x60, 0x21), 0); // register file untouched
    EXPECT_EQ(sim.trace(), (Lines{"A 00", "O 21", "S 81", "A 60", "W FF", "W 01", "W 00"}));
}

TEST(FpgaLock, CancelledInsideSequenceLeavesLockFree)
{
    FpgaSim sim;
    std::atomic<bool> inside{false};
    pthread_t th;
    auto body = +[](void *arg) -> void * {
        auto *flag = static_cast<std::atomic<bool> *>(arg);
        dvr::fpga::locked([flag] {
            dvr::fpga::latch(0x01, 0x00);
            flag->store(true);
            for (;;)
                pause(); // a cancellation point, with the lock held
        });
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&th, nullptr, body, &inside), 0);
    while (!inside.load())
        usleep(1000);
    ASSERT_EQ(pthread_cancel(th), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(th, &res), 0);
    EXPECT_EQ(res, PTHREAD_CANCELED);
    // The next caller gets the lock.
    ASSERT_EQ(pthread_mutex_trylock(&gFpgaMutex), 0);
    pthread_mutex_unlock(&gFpgaMutex);
    fpga_write(0x01, 0x00, 0x05);
    EXPECT_EQ(sim.reg(0x01, 0x00), 0x05);
}

TEST(FpgaLock, CancelledWhileTheTraceBlocksLeavesLockFree)
{
    // The port trace is a pipe that nobody reads: once it is full, the
    // trace write blocks with the lock held, and that is where the thread
    // is cancelled.
    dvrtest::TempDir dir;
    std::string sim = dir / "fpga.sim", fifo = dir / "trace.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    dvrtest::ScopedEnv simenv("DVRPLAT_FPGA_SIM", sim);
    {
        dvrtest::ScopedEnv traceenv("DVRPLAT_FPGA_TRACE", fifo);
        ASSERT_EQ(fpga_open(), 0);
    }
    pthread_t th;
    std::atomic<int> writer{0};
    auto body = +[](void *arg) -> void * {
        static_cast<std::atomic<int> *>(arg)->store(static_cast<int>(gettid()));
        for (;;)
            fpga_write(0x01, 0x00, 0x05);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&th, nullptr, body, &writer), 0);
    while (writer.load() == 0)
        sched_yield();
    // Nothing else in a write sleeps: once the thread sleeps in a pipe
    // write, it is the trace's, with the lock held.
    EXPECT_TRUE(dvrtest::wait_thread_sleeping(writer.load(), "pipe_write"));
    int queued = 0;
    ASSERT_EQ(::ioctl(reader, FIONREAD, &queued), 0);
    EXPECT_GT(queued, 0);
    ASSERT_EQ(pthread_cancel(th), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(th, &res), 0);
    EXPECT_EQ(res, PTHREAD_CANCELED);
    ASSERT_EQ(pthread_mutex_trylock(&gFpgaMutex), 0);
    pthread_mutex_unlock(&gFpgaMutex);
    // A window without the trace before the pipe loses its reader.
    ASSERT_EQ(fpga_open(), 0);
    ::close(reader);
}

TEST(FpgaLock, ConcurrentWritesNeverInterleave)
{
    FpgaSim sim;
    auto worker = [](int id) {
        for (int i = 0; i < 300; ++i) {
            fpga_write(0x10 + id, i & 0xFF, id);
            fpga_read(0x10 + id, i & 0xFF);
        }
    };
    std::vector<std::thread> ts;
    for (int id = 0; id < 4; ++id)
        ts.emplace_back(worker, id);
    for (auto &t : ts)
        t.join();
    Lines lines = sim.trace();
    ASSERT_EQ(lines.size(), 4u * 300 * 2 * 3);
    for (size_t i = 0; i < lines.size(); i += 3) {
        ASSERT_EQ(lines[i][0], 'A');
        ASSERT_EQ(lines[i + 1][0], 'O');
        ASSERT_TRUE(lines[i + 2][0] == 'W' || lines[i + 2][0] == 'R');
        if (lines[i + 2][0] == 'W') { // a write's data is its thread's id
            EXPECT_EQ(std::stoi(lines[i].substr(2), nullptr, 16) - 0x10, std::stoi(lines[i + 2].substr(2), nullptr, 16));
        }
    }
}

TEST(FpgaLock, ReopenNeverCutsALatchedAccess)
{
    // Threads write registers and read them back while fpga_open puts the
    // window in place again and again: every read must see its write.
    FpgaSim sim;
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    auto worker = [&](int id) {
        for (int i = 0; !stop.load() || i < 200; ++i) {
            int off = i & 0xFF, v = (id * 37 + i) & 0xFF;
            fpga_write(0x20 + id, off, v);
            if (fpga_read(0x20 + id, off) != v)
                ++wrong;
        }
    };
    std::vector<std::thread> ts;
    for (int id = 0; id < 3; ++id)
        ts.emplace_back(worker, id);
    for (int k = 0; k < 2000; ++k)
        ASSERT_EQ(fpga_open(), 0);
    stop = true;
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    // Every access in the trace is still a whole latched sequence.
    Lines lines = sim.trace();
    ASSERT_EQ(lines.size() % 3, 0u);
    for (size_t i = 0; i < lines.size(); i += 3) {
        ASSERT_EQ(lines[i][0], 'A') << i;
        ASSERT_EQ(lines[i + 1][0], 'O') << i;
    }
}

// The simulator file cut short under a running program (`: > board.sim`)
// while another thread keeps accessing registers: every access fails with
// a report instead of a bus error, and once the file is whole again they
// work again.
TEST(FpgaAccess, SimulatorFileCutShortFailsWithoutABusError)
{
    FpgaSim sim;
    fpga_write(0x01, 0x02, 0x33);
    std::atomic<bool> stop{false};
    std::atomic<int> last{0};
    CaptureStdout cap;
    std::thread worker([&] {
        while (!stop) {
            fpga_write(0x01, 0x02, 0x44);
            last = fpga_read(0x01, 0x02);
        }
    });
    ASSERT_EQ(::truncate(sim.sim_path().c_str(), 0), 0);
    while (last != -1) // the worker sees the file cut short
        std::this_thread::yield();
    EXPECT_EQ(fpga_read_wo_lock(0x01, 0x02), 0);
    EXPECT_EQ(fpga_read(0x00, 0x00), -1);
    ASSERT_EQ(::truncate(sim.sim_path().c_str(), 262144), 0);
    while (last != 0x44) // and whole again (zeros, then its own write)
        std::this_thread::yield();
    stop = true;
    worker.join();
    const std::string out = cap.take();
    // The size reported is the one first seen (a write racing the cut may
    // have put a byte past its end).
    EXPECT_NE(out.find(" is cut short ("), std::string::npos) << out;
    EXPECT_NE(out.find(" bytes, a board file has 262144): register accesses fail until it is whole again\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(fpga_read(0x01, 0x02), 0x44);
}
