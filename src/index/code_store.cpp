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

// The same growth for a code buffer that must hold `bytes` bytes; new bytes
// are 0.
void grow_to(std::vector<std::uint8_t>& v, std::size_t bytes) {
    if (bytes <= v.size()) return;
    if (bytes > v.capacity()) v.reserve(std::max(bytes, v.capacity() + v.capacity() / 8 + 16));
    v.resize(bytes);
}

// Form thresholds. Per item a dense column takes a code and a bit, c + 1
// eighths of a byte for codes of c eighths; a posting list takes an id and a
// code, 16 + c eighths, per item that kept the bin. A column turns dense as
// soon as that takes less memory, when more than a share (c + 1) / (16 + c)
// of the items keep the bin (17/32 for 2-byte codes, 3/8 for 1-byte ones),
// and back to a posting list only below 3/4 of that share, where it takes a
// third more: the gap keeps a column near the threshold from flipping back
// and forth. Small segments stay in posting form.
constexpr std::size_t kDenseMinItems = 64;
bool wants_dense(const CodeFormat& f, std::size_t kept, std::size_t count) {
    const std::size_t c = f.code_eighths();
    return count >= kDenseMinItems && kept * (16 + c) > count * (c + 1);
}
bool wants_posting(const CodeFormat& f, std::size_t kept, std::size_t count) {
    const std::size_t c = f.code_eighths();
    return kept * (16 + c) * 4 < count * (c + 1) * 3;
}

template <class T>
std::size_t bytes_of(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

unsigned bits_for(std::size_t entries) {
    unsigned b = 0;
    while (b < 8 && (std::size_t{1} << b) < entries) ++b;
    return b;
}

}  // namespace

CodeFormat CodeFormat::for_grids(std::size_t mag_entries, std::size_t phase_entries) {
    const unsigned mb = bits_for(mag_entries);
    const unsigned w = mb + bits_for(phase_entries);
    CodeFormat f;
    if (w <= 8) {
        f.kind = Kind::Byte;
        f.mag_bits = static_cast<std::uint8_t>(mb);
    } else if (w <= 12) {
        f.kind = Kind::Split;
        f.mag_bits = static_cast<std::uint8_t>(mb);
        f.high_bits = static_cast<std::uint8_t>(w == 9 ? 1 : w == 10 ? 2 : 4);
    }
    return f;
}

void CodeStore::append(std::span<const BinCode> entries) {
    if (segments_.empty() || segments_.back().count == kSegmentItems) {
        Segment seg;
        seg.format = format_;
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
        grow_to(col.codes, format_.bytes_for(local + 1));
        format_.set(col.codes.data(), local, 0);
        if ((local & 7) == 0) push<std::uint8_t>(col.present, 0);
    }
    for (const BinCode& e : entries) {
        auto& slot = seg.bins[e.bin];
        if (!slot) slot = std::make_unique<BinColumn>();
        BinColumn& col = *slot;
        if (col.dense) {
            format_.set(col.codes.data(), local, e.code);
            col.present[local >> 3] = static_cast<std::uint8_t>(col.present[local >> 3] | 1u << (local & 7));
        } else {
            push(col.ids, static_cast<std::uint16_t>(local));
            // On failure here the id above has no code; truncate drops both.
            const std::size_t at = col.ids.size() - 1;
            grow_to(col.codes, format_.bytes_for(at + 1));
            format_.set(col.codes.data(), at, e.code);
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
                if (col.codes.size() > format_.bytes_for(local)) col.codes.resize(format_.bytes_for(local));
                if (col.present.size() > (local + 7) / 8) col.present.resize((local + 7) / 8);
                if ((local & 7) != 0 && !col.present.empty())
                    col.present.back() = static_cast<std::uint8_t>(col.present.back() & ((1u << (local & 7)) - 1));
                std::uint32_t kept = 0;
                for (std::uint8_t b : col.present) kept += static_cast<std::uint32_t>(std::popcount(b));
                col.kept = kept;
            } else {
                while (!col.ids.empty() && col.ids.back() >= local) col.ids.pop_back();
                if (col.codes.size() > format_.bytes_for(col.ids.size()))
                    col.codes.resize(format_.bytes_for(col.ids.size()));
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
                if (!col.dense && wants_dense(format_, col.kept, count)) {
                    std::vector<std::uint8_t> codes;
                    std::vector<std::uint8_t> present;
                    codes.reserve(format_.bytes_for(count + count / 8));
                    present.reserve((count + count / 8) / 8 + 1);
                    codes.assign(format_.bytes_for(count), 0);
                    present.assign((count + 7) / 8, 0);
                    for (std::size_t e = 0; e < col.ids.size(); ++e) {
                        const std::size_t i = col.ids[e];
                        format_.set(codes.data(), i, format_.get(col.codes.data(), e));
                        present[i >> 3] = static_cast<std::uint8_t>(present[i >> 3] | 1u << (i & 7));
                    }
                    col.codes = std::move(codes);
                    col.present = std::move(present);
                    std::vector<std::uint16_t>().swap(col.ids);  // = {} would keep the capacity
                    col.dense = true;
                    changed = true;
                } else if (col.dense && wants_posting(format_, col.kept, count)) {
                    std::vector<std::uint16_t> ids;
                    std::vector<std::uint8_t> codes;
                    ids.reserve(col.kept + col.kept / 8);
                    codes.reserve(format_.bytes_for(col.kept + col.kept / 8));
                    codes.assign(format_.bytes_for(col.kept), 0);
                    for (std::size_t i = 0; i < count; ++i)
                        if (col.present[i >> 3] >> (i & 7) & 1) {
                            format_.set(codes.data(), ids.size(), format_.get(col.codes.data(), i));
                            ids.push_back(static_cast<std::uint16_t>(i));
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
