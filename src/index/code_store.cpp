#include "index/code_store.hpp"

#include <algorithm>
#include <bit>
#include <new>

namespace korvane {

namespace {

// Capacity grows by an eighth, not doubled, so that a column wastes at most a
// ninth of its bytes; the copies this costs stay linear in the final size.
template <class T>
void push(std::vector<T>& v, T value) {
    if (v.size() == v.capacity()) v.reserve(v.capacity() + v.capacity() / 8 + 8);
    v.push_back(value);
}

// Form thresholds, with a gap between them so that a column near one does
// not flip back and forth: dense once more than 5/8 of the items keep the
// bin (2 bytes and a bit per item against 4 bytes per kept item), back to a
// posting list below 3/8. Small segments stay in posting form.
constexpr std::size_t kDenseMinItems = 64;
bool wants_dense(std::size_t kept, std::size_t count) { return count >= kDenseMinItems && kept * 8 > count * 5; }
bool wants_posting(std::size_t kept, std::size_t count) { return kept * 8 < count * 3; }

template <class T>
std::size_t bytes_of(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

}  // namespace

void CodeStore::append(std::span<const BinCode> entries) {
    if (segments_.empty() || segments_.back().count == kSegmentItems) {
        Segment seg;
        seg.bins.resize(f_);
        seg.dense_bins.reserve(f_);
        segments_.push_back(std::move(seg));
    }
    Segment& seg = segments_.back();
    const std::size_t local = seg.count;
    // Dense columns hold every item: extend each as if the item did not keep
    // the bin, then mark the bins it did keep.
    for (std::uint32_t h : seg.dense_bins) {
        BinColumn& col = *seg.bins[h];
        push<std::uint16_t>(col.codes, 0);
        if ((local & 7) == 0) push<std::uint8_t>(col.present, 0);
    }
    for (const BinCode& e : entries) {
        auto& slot = seg.bins[e.bin];
        if (!slot) slot = std::make_unique<BinColumn>();
        BinColumn& col = *slot;
        if (col.dense) {
            col.codes[local] = e.code;
            col.present[local >> 3] = static_cast<std::uint8_t>(col.present[local >> 3] | 1u << (local & 7));
        } else {
            push(col.ids, static_cast<std::uint16_t>(local));
            // On failure here the id above has no code; truncate drops both.
            push(col.codes, e.code);
        }
    }
    // Only now is the item counted anywhere: a failure above leaves entries
    // past the count, which truncate removes.
    for (const BinCode& e : entries) ++seg.bins[e.bin]->kept;
    ++seg.count;
    ++n_;
}

void CodeStore::truncate(std::size_t n) noexcept {
    if (n > n_) return;
    // A failed append may have opened a segment past the last item, or left
    // entries for the item it did not count: both go here too.
    const std::size_t keep = (n + kSegmentItems - 1) / kSegmentItems;
    segments_.erase(segments_.begin() + static_cast<std::ptrdiff_t>(std::min(keep, segments_.size())),
                    segments_.end());
    if (keep > 0) {
        Segment& seg = segments_.back();
        const std::size_t local = n - (keep - 1) * kSegmentItems;
        for (auto& slot : seg.bins) {
            if (!slot) continue;
            BinColumn& col = *slot;
            if (col.dense) {
                if (col.codes.size() > local) col.codes.resize(local);
                if (col.present.size() > (local + 7) / 8) col.present.resize((local + 7) / 8);
                if ((local & 7) != 0 && !col.present.empty())
                    col.present.back() = static_cast<std::uint8_t>(col.present.back() & ((1u << (local & 7)) - 1));
                std::uint32_t kept = 0;
                for (std::uint8_t b : col.present) kept += static_cast<std::uint32_t>(std::popcount(b));
                col.kept = kept;
            } else {
                while (!col.ids.empty() && col.ids.back() >= local) col.ids.pop_back();
                if (col.codes.size() > col.ids.size()) col.codes.resize(col.ids.size());
                col.kept = static_cast<std::uint32_t>(col.ids.size());
            }
        }
        seg.count = local;
    }
    n_ = n;
}

void CodeStore::rebalance(std::size_t from) noexcept {
    for (std::size_t s = from / kSegmentItems; s < segments_.size(); ++s) {
        Segment& seg = segments_[s];
        const std::size_t count = seg.count;
        bool changed = false;
        for (std::size_t h = 0; h < seg.bins.size(); ++h) {
            if (!seg.bins[h]) continue;
            BinColumn& col = *seg.bins[h];
            try {
                if (!col.dense && wants_dense(col.kept, count)) {
                    std::vector<std::uint16_t> codes;
                    std::vector<std::uint8_t> present;
                    codes.reserve(count + count / 8);
                    present.reserve((count + count / 8) / 8 + 1);
                    codes.assign(count, 0);
                    present.assign((count + 7) / 8, 0);
                    for (std::size_t e = 0; e < col.ids.size(); ++e) {
                        const std::size_t i = col.ids[e];
                        codes[i] = col.codes[e];
                        present[i >> 3] = static_cast<std::uint8_t>(present[i >> 3] | 1u << (i & 7));
                    }
                    col.codes = std::move(codes);
                    col.present = std::move(present);
                    std::vector<std::uint16_t>().swap(col.ids);  // = {} would keep the capacity
                    col.dense = true;
                    changed = true;
                } else if (col.dense && wants_posting(col.kept, count)) {
                    std::vector<std::uint16_t> ids;
                    std::vector<std::uint16_t> codes;
                    ids.reserve(col.kept + col.kept / 8);
                    codes.reserve(col.kept + col.kept / 8);
                    for (std::size_t i = 0; i < count; ++i)
                        if (col.present[i >> 3] >> (i & 7) & 1) {
                            ids.push_back(static_cast<std::uint16_t>(i));
                            codes.push_back(col.codes[i]);
                        }
                    col.ids = std::move(ids);
                    col.codes = std::move(codes);
                    std::vector<std::uint8_t>().swap(col.present);
                    col.dense = false;
                    changed = true;
                }
            } catch (const std::bad_alloc&) {
                // The column keeps its form; it is as complete as before.
            }
        }
        if (changed) {
            // Room for F entries was reserved with the segment: no allocation.
            seg.dense_bins.clear();
            for (std::size_t h = 0; h < seg.bins.size(); ++h)
                if (seg.bins[h] && seg.bins[h]->dense) seg.dense_bins.push_back(static_cast<std::uint32_t>(h));
        }
    }
}

std::size_t CodeStore::memory_bytes() const {
    std::size_t bytes = bytes_of(segments_);
    for (const Segment& seg : segments_) {
        bytes += bytes_of(seg.bins) + bytes_of(seg.dense_bins);
        for (const auto& slot : seg.bins)
            if (slot) bytes += sizeof(BinColumn) + bytes_of(slot->ids) + bytes_of(slot->codes) + bytes_of(slot->present);
    }
    return bytes;
}

}  // namespace korvane
