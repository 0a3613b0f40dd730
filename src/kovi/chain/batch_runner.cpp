// The batch runner.  Rows are handed out in chunks from one shared counter,
// so a thread that runs slower (the machine is shared) simply takes fewer
// chunks; each row is computed the same way whoever computes it, so the
// results do not depend on the number of threads.
#include "batch_runner.hpp"

#include <cxxabi.h>
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

// Parks the calling thread for good: it holds no lock and touches nothing,
// and the end of the process ends it.
[[noreturn]] void park_forever() noexcept
{
    for (;;) {
        pause();
    }
}

// Once the interpreter is shutting down, 3.12 ends a thread other than the
// finalizing one that takes the interpreter lock with pthread_exit (later
// versions block it forever instead).  pthread_exit unwinds the stack, and
// that unwind through a noexcept frame calls std::terminate: a daemon thread
// inside a batch when the program ends would abort the process.  So the
// lock is taken back here, in a frame that may unwind, and the forced
// unwind is caught and never finishes: the thread parks inside the handler
// (leaving it, by return or by rethrow, would end the catch and let the
// C library abort with "exception not rethrown").  Only called once the
// helper threads are joined, so nothing else of the batch runs meanwhile.
void take_lock_back(PyThreadState *state)
{
    try {
        PyEval_RestoreThread(state);
    }
    catch (abi::__forced_unwind &) {
        park_forever();
    }
}

// The same, from a noexcept caller: any other exception cannot come out of
// the interpreter's C code.
void restore_thread(PyThreadState *state) noexcept
{
    try {
        take_lock_back(state);
    }
    catch (...) {
        park_forever();
    }
}

// A thread that sees the shutdown has begun before it asks for the lock
// stops the batch, waits for its helpers and parks at once, without
// relying on the unwind above.  The main thread runs the shutdown itself
// (a batch in a finalizer) and takes the lock back as usual: it must not
// park.
void park_if_finalizing(Batch &batch, std::vector<std::thread> &helpers,
                        bool main_thread) noexcept
{
    if (main_thread || !kovi::cpython::is_finalizing()) {
        return;
    }
    batch.stop.store(true, std::memory_order_relaxed);
    join_helpers(helpers);
    park_forever();
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
        // Only the main thread runs signal handlers: any other thread has
        // no reason to take the lock back before the batch is done.
        if (!main_thread) {
            continue;
        }
        auto now = std::chrono::steady_clock::now();
        if (now - last_check < signal_check_interval) {
            continue;
        }
        restore_thread(state);
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
    restore_thread(state);
    return interrupted ? -1 : 0;
}

}  // namespace kovi::chain
