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
// A code packs the item's magnitude and phase codes; it takes as many bytes
// as the grids' widths need (CodeFormat). Columns switch form when that
// saves memory; the form never changes what is stored.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace korvane {

inline constexpr std::size_t kSegmentItems = 65536;

// How the codes of a column lie in its byte buffer, chosen from the bits
// that number the entries of each grid (at most 8 each; w is their sum):
// - Byte, w <= 8: one byte per code, mag_q | phase_q << mag_bits;
// - Split, 9 <= w <= 12: the same packing in blocks of 8 codes: their low
//   bytes, then high_bits (1, 2 or 4) bits per code above the low byte;
// - Wide, w > 12: two bytes per code, little-endian, mag_q | phase_q << 8.
struct CodeFormat {
    enum class Kind : std::uint8_t { Byte, Split, Wide };
    Kind kind = Kind::Wide;
    std::uint8_t mag_bits = 8;   // where the phase code starts
    std::uint8_t high_bits = 0;  // Split only

    // For grids of the given sizes; codes past 256 entries cannot be named.
    static CodeFormat for_grids(std::size_t mag_entries, std::size_t phase_entries);

    std::uint16_t pack(std::uint8_t mag_q, std::uint8_t phase_q) const {
        return static_cast<std::uint16_t>(mag_q | phase_q << mag_bits);
    }
    unsigned mag_of(std::uint16_t code) const { return code & ((1u << mag_bits) - 1); }
    unsigned phase_of(std::uint16_t code) const { return code >> mag_bits; }

    std::size_t block_bytes() const { return 8 + high_bits; }
    // Buffer bytes that hold codes 0 .. n - 1.
    std::size_t bytes_for(std::size_t n) const {
        switch (kind) {
            case Kind::Byte: return n;
            case Kind::Split: return (n + 7) / 8 * block_bytes();
            case Kind::Wide: break;
        }
        return 2 * n;
    }
    // Memory of a code in eighths of a byte, for choosing a column's form.
    std::size_t code_eighths() const { return kind == Kind::Byte ? 8 : kind == Kind::Split ? 8 + high_bits : 16; }

    std::uint16_t get(const std::uint8_t* codes, std::size_t e) const {
        switch (kind) {
            case Kind::Byte: return codes[e];
            case Kind::Split: {
                const std::uint8_t* block = codes + e / 8 * block_bytes();
                std::uint32_t high = 0;
                std::memcpy(&high, block + 8, high_bits);
                const unsigned hi = high >> (e % 8 * high_bits) & ((1u << high_bits) - 1);
                return static_cast<std::uint16_t>(block[e % 8] | hi << 8);
            }
            case Kind::Wide: break;
        }
        std::uint16_t c;
        std::memcpy(&c, codes + 2 * e, 2);
        return c;
    }
    // Writes code e over whatever was there.
    void set(std::uint8_t* codes, std::size_t e, std::uint16_t code) const {
        switch (kind) {
            case Kind::Byte: codes[e] = static_cast<std::uint8_t>(code); return;
            case Kind::Split: {
                std::uint8_t* block = codes + e / 8 * block_bytes();
                block[e % 8] = static_cast<std::uint8_t>(code);
                std::uint32_t high = 0;
                std::memcpy(&high, block + 8, high_bits);
                const unsigned shift = e % 8 * high_bits;
                high = (high & ~(((1u << high_bits) - 1) << shift)) | static_cast<std::uint32_t>(code >> 8) << shift;
                std::memcpy(block + 8, &high, high_bits);
                return;
            }
            case Kind::Wide: break;
        }
        std::memcpy(codes + 2 * e, &code, 2);
    }
};

struct BinCode {
    std::uint16_t bin;
    std::uint16_t code;  // CodeFormat::pack of the item's codes
};

struct BinColumn {
    bool dense = false;
    std::uint32_t kept = 0;             // items of the segment that kept the bin
    std::vector<std::uint16_t> ids;     // posting form: local ids, ascending
    std::vector<std::uint8_t> codes;    // posting form: one per id; dense form: one per item (CodeFormat)
    std::vector<std::uint8_t> present;  // dense form: bit (i & 7) of byte i / 8 for item i
};

struct Segment {
    std::size_t count = 0;                         // items in the segment
    CodeFormat format;                             // the store's, for the kernels
    std::vector<std::unique_ptr<BinColumn>> bins;  // one per bin; null until the bin is first kept
    std::vector<std::uint32_t> dense_bins;         // bins whose column is dense
};

class CodeStore {
public:
    CodeStore(std::size_t f, CodeFormat format) : f_(f), format_(format) {}
    CodeStore(CodeStore&&) noexcept = default;
    CodeStore& operator=(CodeStore&&) noexcept = default;

    std::size_t size() const { return n_; }
    std::size_t bins() const { return f_; }
    const CodeFormat& format() const { return format_; }
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
    CodeFormat format_;
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
        const std::uint8_t* codes = col->codes.data();
        if (col->dense) {
            for (std::size_t i = lo; i < hi; ++i)
                if (col->present[i >> 3] >> (i & 7) & 1) visit(base + i, h, format_.get(codes, i));
        } else {
            auto e = static_cast<std::size_t>(std::lower_bound(col->ids.begin(), col->ids.end(), lo) - col->ids.begin());
            for (; e < col->ids.size() && col->ids[e] < hi; ++e) visit(base + col->ids[e], h, format_.get(codes, e));
        }
    }
}

}  // namespace korvane
