// The resident form of an index's items: their kept bins as codes, stored bin
// by bin so that a search reads only the query's bins.
//
// Items are grouped in segments of up to 65,536 consecutive ids, so that an
// id inside a segment fits 16 bits. Within a segment every bin has a column:
// - a posting list of (local id, code) for bins that few items keep, ids
//   ascending;
// - or a dense column with one code per item and a bit per item saying
//   whether the item kept the bin, for bins that most items keep (smooth
//   signals keep the same low bins in every item).
// A code is the item's magnitude code | phase code << 8. Columns switch form
// when that saves memory; the form never changes what is stored.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace korvane {

inline constexpr std::size_t kSegmentItems = 65536;

struct BinCode {
    std::uint16_t bin;
    std::uint16_t code;  // mag_q | phase_q << 8
};

struct BinColumn {
    bool dense = false;
    std::uint32_t kept = 0;             // items of the segment that kept the bin
    std::vector<std::uint16_t> ids;     // posting form: local ids, ascending
    std::vector<std::uint16_t> codes;   // posting form: one per id; dense form: one per item
    std::vector<std::uint8_t> present;  // dense form: bit (i & 7) of byte i / 8 for item i
};

struct Segment {
    std::size_t count = 0;                         // items in the segment
    std::vector<std::unique_ptr<BinColumn>> bins;  // one per bin; null until the bin is first kept
    std::vector<std::uint32_t> dense_bins;         // bins whose column is dense
};

class CodeStore {
public:
    explicit CodeStore(std::size_t f) : f_(f) {}
    CodeStore(CodeStore&&) noexcept = default;
    CodeStore& operator=(CodeStore&&) noexcept = default;

    std::size_t size() const { return n_; }
    std::size_t bins() const { return f_; }
    const std::vector<Segment>& segments() const { return segments_; }

    // Appends one item; its entries name distinct bins below F. May throw
    // std::bad_alloc, after which the caller truncates to the size before.
    void append(std::span<const BinCode> entries);
    // Drops every item from id n on. Never allocates or throws.
    void truncate(std::size_t n) noexcept;
    // Moves columns of segments from the one holding item `from` on to the
    // form that takes less memory. A column that cannot get the memory for
    // its new form keeps its old one.
    void rebalance(std::size_t from) noexcept;

    // Calls visit(item, bin, code) for every kept bin of items
    // [first, first + count), which lie in one segment; per bin in id order.
    template <class Visit>
    void for_each_entry(std::size_t first, std::size_t count, Visit&& visit) const;

    // Bytes held, counting reserved capacity.
    std::size_t memory_bytes() const;

private:
    std::size_t f_;
    std::size_t n_ = 0;
    std::vector<Segment> segments_;
};

template <class Visit>
void CodeStore::for_each_entry(std::size_t first, std::size_t count, Visit&& visit) const {
    if (count == 0) return;
    const Segment& seg = segments_[first / kSegmentItems];
    const std::size_t base = first / kSegmentItems * kSegmentItems;
    const std::size_t lo = first - base;
    const std::size_t hi = lo + count;
    for (std::size_t h = 0; h < seg.bins.size(); ++h) {
        const BinColumn* col = seg.bins[h].get();
        if (col == nullptr || col->kept == 0) continue;
        if (col->dense) {
            for (std::size_t i = lo; i < hi; ++i)
                if (col->present[i >> 3] >> (i & 7) & 1) visit(base + i, h, col->codes[i]);
        } else {
            auto e = static_cast<std::size_t>(std::lower_bound(col->ids.begin(), col->ids.end(), lo) - col->ids.begin());
            for (; e < col->ids.size() && col->ids[e] < hi; ++e) visit(base + col->ids[e], h, col->codes[e]);
        }
    }
}

}  // namespace korvane
