// The searchable store. An index keeps its own copy of an encoder and its
// items in a compact resident form: each item's kept bins as magnitude and
// phase codes, stored bin by bin (code_store.hpp), and its decoded norm.
// Items whose dense rows are not grid values (only hand-made files give
// such rows) are kept as dense rows.
//
// What an index means is still its dense rows: row r holds item r's decoded
// magnitudes and phases at its kept bins and 0 elsewhere. Every score is
// bit-identical to the literal kernel over those rows, `dense_rows` gives
// them back, and `add_dense_rows` takes them in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"
#include "codec/rows.hpp"
#include "index/code_store.hpp"

namespace korvane {

// Ids are 32-bit.
inline constexpr std::uint64_t kMaxItems = 0xFFFFFFFFull;

// Query bins whose scoring tables (a kilobyte each) a search holds at once:
// its working memory does not grow with the length of the record.
inline constexpr std::size_t kQueryBinsPerBlock = 256;

struct SpectralSearchResult {
    std::vector<std::uint32_t> ids;  // best first
    std::vector<float> scores;
};

class SpectralIndex {
public:
    // An empty index holding a copy of `encoder` (grids copied, plan shared).
    explicit SpectralIndex(const SpectralEncoder& encoder);
    SpectralIndex(SpectralIndex&&) noexcept = default;
    SpectralIndex& operator=(SpectralIndex&&) noexcept = default;

    const SpectralEncoder& encoder() const { return encoder_; }
    std::size_t size() const { return store_.size(); }

    // Appends the records in order. Records that break the limits (a bin >=
    // F, a code at or past its grid's end, mag_q or phase_q shorter than
    // idx), or an add past 2^32 - 1 items, are refused before anything is
    // stored. A bin listed twice keeps its later occurrence.
    Status add_codes(std::span<const SpectralCodes> codes);
    // Encodes the rows of `source` with the index's encoder and appends them,
    // a chunk at a time (encode_in_chunks); on any error nothing is added.
    // An add past 2^32 - 1 items is refused before any row is encoded.
    Status add_rows(const RowSource& source);
    // The same for the rows of `flat`, `dim` values each.
    Status add_rows(std::span<const float> flat);

    // Scores every item against `query` and returns the best `top_k`,
    // highest score first; equal scores in ascending id order, NaN last.
    Result<SpectralSearchResult> search_codes(const SpectralCodes& query, std::uint64_t top_k) const;
    // Encodes each row of `source` and searches for it, in row order, a
    // chunk of rows at a time (encode_in_chunks).
    Result<std::vector<SpectralSearchResult>> search_rows(const RowSource& source, std::uint64_t top_k) const;
    // The same for the rows of `flat`, `dim` values each.
    Result<std::vector<SpectralSearchResult>> search_rows(std::span<const float> flat, std::uint64_t top_k) const;

    // The dense rows of items [first, first + count): count rows of F values
    // each into `mags` and `phases` (an empty span is skipped).
    void dense_rows(std::size_t first, std::size_t count, std::span<float> mags, std::span<float> phases) const;
    std::span<const float> norms() const { return norms_; }
    // Appends items given as dense rows (norms.size() items, F values per
    // row). Rows whose every value is a grid entry, bit for bit, are kept as
    // codes; others as they are.
    Status add_dense_rows(std::span<const float> mags, std::span<const float> phases, std::span<const float> norms);

    // Bytes the index holds for its items and search tables, counting
    // reserved capacity; the encoder copy is not counted.
    std::size_t memory_bytes() const;

private:
    // Working buffers one search fills and the next may reuse.
    struct SearchSpace {
        std::vector<float> scores;
        std::vector<float> scratch;
    };
    // The search of a query already known to pass check_codes.
    Result<SpectralSearchResult> search_codes(const SpectralCodes& query, std::uint64_t top_k,
                                              SearchSpace& space) const;
    Status check_room(std::size_t m) const;
    void append(std::span<const SpectralCodes> codes, std::vector<BinCode>& entries, std::vector<std::uint32_t>& last);
    void rollback(std::size_t n) noexcept;
    void reserve_norms(std::size_t n);

    SpectralEncoder encoder_;
    // cosf(phase_grid[i] - phase_grid[p]) at [i * phase_codes_ + p]: every
    // cosine a search can need, since query and item phases are grid entries.
    // Made by the first search that needs it, so that an index that is only
    // built, filled or saved never pays for it.
    class CosineTable {
    public:
        CosineTable() = default;
        CosineTable(CosineTable&& other) noexcept : table_(other.table_.exchange(nullptr)) {}
        CosineTable& operator=(CosineTable&& other) noexcept {
            delete[] table_.exchange(other.table_.exchange(nullptr));
            return *this;
        }
        ~CosineTable() { delete[] table_.load(); }
        const float* get(std::span<const float> grid, std::size_t codes) const;
        std::size_t bytes(std::size_t codes) const { return table_.load() ? codes * codes * sizeof(float) : 0; }

    private:
        // Searches may run at once (they only read the index): the first to
        // finish a table publishes it, the others drop theirs.
        mutable std::atomic<float*> table_{nullptr};
    };
    CosineTable cosines_;
    std::size_t phase_codes_ = 0;
    CodeStore store_;
    std::vector<float> norms_;
    // Items kept as dense rows, ids ascending, F values per row.
    std::vector<std::uint32_t> side_ids_;
    std::vector<float> side_mags_;
    std::vector<float> side_phases_;
};

// Whether `codes` can be decoded through `encoder`'s grids; `what` names the
// record in the message ("code record 3", "query").
Status check_codes(const SpectralEncoder& encoder, const SpectralCodes& codes, const std::string& what);

}  // namespace korvane
