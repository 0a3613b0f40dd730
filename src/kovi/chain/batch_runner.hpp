// Runs a row-wise computation over a batch with the interpreter lock
// released, on one or more native threads, answering signals (Ctrl-C)
// while it runs.
#ifndef KOVI_CHAIN_BATCH_RUNNER_HPP
#define KOVI_CHAIN_BATCH_RUNNER_HPP

#include <Python.h>

namespace kovi::chain {

// Computes rows [begin, end); called without the interpreter lock, from any
// thread, so it must not touch Python objects.
using RowRangeFunction = void (*)(const void *context, Py_ssize_t begin, Py_ssize_t end) noexcept;

// Calls `compute` over rows [0, rows) in chunks of `chunk_rows`, which the
// calling thread and `threads` - 1 native threads take in turn.  The calling
// thread takes the interpreter lock back every few milliseconds to run
// signal handlers; when one raises (KeyboardInterrupt), every thread stops
// after its current chunk and the call returns -1 with that exception set.
// Returns 0 when every row is done.  Must be called with the lock held.
int run_rows(Py_ssize_t rows, int threads, Py_ssize_t chunk_rows, RowRangeFunction compute,
             const void *context) noexcept;

}  // namespace kovi::chain

#endif
