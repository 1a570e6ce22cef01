// The searchable store: its own encoder copy, the added code records and the
// same items decoded once into dense row-major arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"

namespace korvane {

// Ids are 32-bit.
inline constexpr std::uint64_t kMaxItems = 0xFFFFFFFFull;

struct SpectralIndex {
    SpectralEncoder encoder;           // grids copied, FFT plan shared
    std::vector<SpectralCodes> codes;  // one record per item; position = id
    std::vector<float> mags;           // n rows of F decoded magnitudes, 0 where not kept
    std::vector<float> phases;         // n rows of F decoded phases, 0 where not kept
    std::vector<float> norms;          // n decoded norms

    std::size_t size() const { return codes.size(); }
};

struct SpectralSearchResult {
    std::vector<std::uint32_t> ids;  // best first
    std::vector<float> scores;
};

// A new, empty index holding a copy of `encoder`.
SpectralIndex make_index(const SpectralEncoder& encoder);

// Appends copies of `codes` and decodes them into the dense arrays, growing
// each array once. Records that break the limits (a bin >= F, a code at or
// past its grid's end, mag_q or phase_q shorter than idx), or an add past
// 2^32 - 1 items, are refused before anything is appended.
Status add_codes(SpectralIndex& index, std::span<const SpectralCodes> codes);

// Sets the length of `codes` to n; new entries are copies of `value`.
void resize_codes(std::vector<SpectralCodes>& codes, std::size_t n, SpectralCodes value);

// Scores every item against `query` and returns the best `top_k`, highest
// score first; equal scores in ascending id order, NaN scores last.
Result<SpectralSearchResult> search_codes(const SpectralIndex& index, const SpectralCodes& query,
                                          std::uint64_t top_k);

// Whether `codes` can be decoded through `encoder`'s grids; `what` names the
// record in the message ("code record 3", "query").
Status check_codes(const SpectralEncoder& encoder, const SpectralCodes& codes, const std::string& what);

}  // namespace korvane
