// Standard output that blocks: the C library's stdout is replaced by a
// stream whose writes wait until the test lets them through, as a pipe
// nobody reads would. The first write that blocks is announced, so a test
// knows for certain that a thread is stuck in its output.
#ifndef DVRPLAT_TEST_BLOCKED_STDOUT_H
#define DVRPLAT_TEST_BLOCKED_STDOUT_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include <cerrno>
#include <ctime>

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

namespace dvrtest {

class BlockedStdout {
public:
    BlockedStdout()
    {
        cookie_io_functions_t io{};
        io.write = &BlockedStdout::write;
        stream_ = ::fopencookie(this, "w", io);
        if (stream_) {
            std::setvbuf(stream_, nullptr, _IONBF, 0);
            std::fflush(stdout);
            saved_ = stdout;
            stdout = stream_;
        }
    }
    ~BlockedStdout()
    {
        release();
        if (stream_) {
            std::fflush(stream_);
            stdout = saved_;
            std::fclose(stream_);
        }
    }
    BlockedStdout(const BlockedStdout &) = delete;
    BlockedStdout &operator=(const BlockedStdout &) = delete;

    bool ok() const { return stream_ != nullptr; }

    // Waits until some thread is blocked writing; false when none came
    // within the bound.
    bool wait_blocked(int bound_seconds = 30)
    {
        struct timespec end;
        ::clock_gettime(CLOCK_REALTIME, &end);
        end.tv_sec += bound_seconds;
        pthread_mutex_lock(&m_);
        int rc = 0;
        while (blocked_ == 0 && rc != ETIMEDOUT)
            rc = pthread_cond_timedwait(&cv_, &m_, &end);
        const bool blocked = blocked_ > 0;
        pthread_mutex_unlock(&m_);
        return blocked;
    }

    // Lets every write through from now on.
    void release()
    {
        pthread_mutex_lock(&m_);
        open_ = true;
        pthread_cond_broadcast(&cv_);
        pthread_mutex_unlock(&m_);
    }

    // Everything handed to the stream so far, blocked writes included.
    std::string text()
    {
        pthread_mutex_lock(&m_);
        std::string t = text_;
        pthread_mutex_unlock(&m_);
        return t;
    }

private:
    // Plain POSIX waiting with a cleanup handler: a thread cancelled while
    // it waits here (a watchdog being destroyed) unwinds cleanly.
    static void unlock(void *m) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m)); }
    static ssize_t write(void *self, const char *buf, size_t size)
    {
        auto *s = static_cast<BlockedStdout *>(self);
        pthread_mutex_lock(&s->m_);
        pthread_cleanup_push(unlock, &s->m_);
        // Kept at once: a writer cancelled while it waits has still said it.
        s->text_.append(buf, size);
        ++s->blocked_;
        pthread_cond_broadcast(&s->cv_);
        while (!s->open_)
            pthread_cond_wait(&s->cv_, &s->m_);
        --s->blocked_;
        pthread_cleanup_pop(1);
        return static_cast<ssize_t>(size);
    }

    std::FILE *stream_ = nullptr;
    std::FILE *saved_ = nullptr;
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv_ = PTHREAD_COND_INITIALIZER;
    int blocked_ = 0;
    bool open_ = false;
    std::string text_;
};

// Waits for a flag another thread sets under a mutex, within a bound.
class Done {
public:
    void set()
    {
        std::lock_guard<std::mutex> lock(m_);
        done_ = true;
        cv_.notify_all();
    }
    bool wait(std::chrono::seconds bound = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, bound, [this] { return done_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
};

} // namespace dvrtest

#endif
