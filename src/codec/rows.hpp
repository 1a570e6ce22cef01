// Rows of vectors to encode, handed over a bounded chunk at a time. Encoding
// a batch, adding one to an index and searching for one all take their rows
// from a RowSource, through encode_in_chunks, the one place where a batch is
// cut into chunks: it copies in one chunk of rows at a time and hands over
// that chunk's codes. Adding and searching keep no more than a chunk of codes
// at once; encode_rows keeps every row's codes, since it returns them all.
// How much of the rows is in memory is the source's affair: the module reads
// bulk arrays of whole rows in place, a chunk at a time, but flattens any
// other batch argument whole into one buffer first (BatchRows in
// lib/binding.hpp), which FlatRows then walks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"

namespace korvane {

// Rows per chunk on every road: large enough that the per-chunk work is
// small beside encoding, small enough that a chunk copied in is still in
// cache when it is encoded (768 KB at dim 768; 1,024 rows there encoded
// about a tenth slower).
inline constexpr std::size_t kRowsPerChunk = 256;

// `rows()` rows of `dim()` values. fill(r0, r1, out) writes rows r0 .. r1 - 1
// one after another into `out` (room for (r1 - r0) * dim() floats). It is
// asked for chunks in order and cannot fail: whatever a source must check
// or convert, it does before it is handed over.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual std::size_t rows() const = 0;
    virtual std::size_t dim() const = 0;
    virtual void fill(std::size_t r0, std::size_t r1, float* out) const noexcept = 0;
};

// Rows already in memory, one after another.
class FlatRows final : public RowSource {
public:
    // BufferLength when `flat` does not hold whole rows of `dim` values.
    static Result<FlatRows> of(std::span<const float> flat, std::size_t dim) {
        if (dim == 0 || flat.size() % dim != 0) return fail(BufferLength{dim, flat.size()});
        return FlatRows(flat, dim);
    }
    std::size_t rows() const override { return flat_.size() / dim_; }
    std::size_t dim() const override { return dim_; }
    void fill(std::size_t r0, std::size_t r1, float* out) const noexcept override {
        std::copy(flat_.begin() + static_cast<std::ptrdiff_t>(r0 * dim_),
                  flat_.begin() + static_cast<std::ptrdiff_t>(r1 * dim_), out);
    }

private:
    FlatRows(std::span<const float> flat, std::size_t dim) : flat_(flat), dim_(dim) {}
    std::span<const float> flat_;
    std::size_t dim_;
};

// Encodes the rows of `source` with `encoder`, kRowsPerChunk at a time, and
// hands each chunk's codes to `on_chunk(codes)`, in row order; the first
// error, from encoding or from `on_chunk`, ends the walk and is returned. The
// source's rows must be `encoder.dim()` long.
template <class OnChunk>
Status encode_in_chunks(const SpectralEncoder& encoder, const RowSource& source, OnChunk&& on_chunk) {
    const std::size_t rows = source.rows();
    const std::size_t dim = source.dim();
    std::vector<float> chunk;
    for (std::size_t r0 = 0; r0 < rows; r0 += kRowsPerChunk) {
        const std::size_t take = std::min(kRowsPerChunk, rows - r0);
        chunk.resize(take * dim);
        source.fill(r0, r0 + take, chunk.data());
        auto codes = encode_rows(encoder, chunk);
        if (!codes) return fail(codes.error());
        if (Status s = on_chunk(*codes); !s) return s;
    }
    return {};
}

// Every row's codes, in row order.
Result<std::vector<SpectralCodes>> encode_rows(const SpectralEncoder& encoder, const RowSource& source);

}  // namespace korvane
