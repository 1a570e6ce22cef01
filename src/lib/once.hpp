// The one pattern for process-wide values made on first use: a cell that
// holds a pointer, filled by compare-and-swap.
#pragma once

#include <atomic>

namespace korvane::py {

// Returns the value in `cell`, making it with `make()` when the cell is
// empty. `make` may call into Python, which can switch threads (and, on a
// free-threaded interpreter, stop them all for a collection), so nothing
// waits here: no lock and no static-initialisation guard is held while it
// runs. Threads that race each make a value; the first stored wins, and the
// others hand theirs to `drop` and return the stored one. A failed make
// (nullptr) stores nothing, so a later call tries again.
template <class T, class Make, class Drop>
T* once(std::atomic<T*>& cell, Make&& make, Drop&& drop) {
    if (T* stored = cell.load(std::memory_order_acquire)) return stored;
    T* made = make();
    if (made == nullptr) return nullptr;
    T* stored = nullptr;
    if (cell.compare_exchange_strong(stored, made, std::memory_order_acq_rel, std::memory_order_acquire))
        return made;  // the cell keeps it for the life of the process
    drop(made);
    return stored;
}

}  // namespace korvane::py
