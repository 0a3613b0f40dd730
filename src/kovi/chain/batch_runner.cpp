// The batch runner.  Rows are handed out in chunks from one shared counter,
// so a thread that runs slower (the machine is shared) simply takes fewer
// chunks; each row is computed the same way whoever computes it, so the
// results do not depend on the number of threads.
#include "batch_runner.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "interpreter_compat.hpp"

namespace kovi::chain {

namespace {

// Signal handlers run at most this long after a signal arrives, plus one
// chunk.
constexpr auto signal_check_interval = std::chrono::milliseconds(20);

struct Batch {
    Py_ssize_t rows;
    Py_ssize_t chunk_rows;
    RowRangeFunction compute;
    const void *context;
    std::atomic<Py_ssize_t> next{0};
    std::atomic<bool> stop{false};

    // Computes one more chunk; false when there is none left or the batch
    // was stopped.
    bool compute_next_chunk() noexcept
    {
        if (stop.load(std::memory_order_relaxed)) {
            return false;
        }
        Py_ssize_t begin = next.fetch_add(chunk_rows, std::memory_order_relaxed);
        if (begin >= rows) {
            return false;
        }
        compute(context, begin, std::min(rows, begin + chunk_rows));
        return true;
    }

    void work() noexcept
    {
        while (compute_next_chunk()) {
        }
    }
};

// Starts up to `count` helper threads; fewer if the system refuses more
// (the calling thread does the rest).
void start_helpers(Batch &batch, int count, std::vector<std::thread> &helpers) noexcept
{
    try {
        helpers.reserve(count);
        for (int t = 0; t < count; t++) {
            helpers.emplace_back([&batch]() noexcept { batch.work(); });
        }
    }
    catch (...) {
    }
}

void join_helpers(std::vector<std::thread> &helpers) noexcept
{
    for (std::thread &helper : helpers) {
        if (helper.joinable()) {
            helper.join();
        }
    }
}

// Called before each time the calling thread takes the interpreter lock
// back.  Once the interpreter is shutting down, 3.12 ends a thread that
// takes the lock with pthread_exit, whose forced unwind through these
// noexcept frames would call std::terminate and abort the process (a
// daemon thread inside a batch when the program ends).  So such a thread
// stops the batch, waits for its helpers, and never returns, as later
// versions of the interpreter block such threads themselves: the end of
// the process ends it.  The main thread runs the shutdown itself (a batch
// in a finalizer) and takes the lock back as usual: it must not park.
// (A thread already waiting for the lock when the shutdown starts is not
// covered: that wait is the interpreter's.)
void park_if_finalizing(Batch &batch, std::vector<std::thread> &helpers,
                        bool main_thread) noexcept
{
    if (main_thread || !kovi::cpython::is_finalizing()) {
        return;
    }
    batch.stop.store(true, std::memory_order_relaxed);
    join_helpers(helpers);
    for (;;) {
        pause();
    }
}

}  // namespace

int run_rows(Py_ssize_t rows, int threads, Py_ssize_t chunk_rows, RowRangeFunction compute,
             const void *context) noexcept
{
    if (rows <= 0) {
        return 0;
    }
    chunk_rows = std::max<Py_ssize_t>(chunk_rows, 1);
    Py_ssize_t chunks = (rows + chunk_rows - 1) / chunk_rows;
    int helper_count = static_cast<int>(std::min<Py_ssize_t>(threads, chunks)) - 1;

    Batch batch{rows, chunk_rows, compute, context};
    std::vector<std::thread> helpers;
    bool interrupted = false;

    const bool main_thread = kovi::cpython::is_main_thread();
    PyThreadState *state = PyEval_SaveThread();
    if (helper_count > 0) {
        start_helpers(batch, helper_count, helpers);
    }
    auto last_check = std::chrono::steady_clock::now();
    while (batch.compute_next_chunk()) {
        auto now = std::chrono::steady_clock::now();
        if (now - last_check < signal_check_interval) {
            continue;
        }
        park_if_finalizing(batch, helpers, main_thread);
        PyEval_RestoreThread(state);
        interrupted = PyErr_CheckSignals() < 0;
        state = PyEval_SaveThread();
        if (interrupted) {
            batch.stop.store(true, std::memory_order_relaxed);
            break;
        }
        last_check = std::chrono::steady_clock::now();
    }
    join_helpers(helpers);
    park_if_finalizing(batch, helpers, main_thread);
    PyEval_RestoreThread(state);
    return interrupted ? -1 : 0;
}

}  // namespace kovi::chain
