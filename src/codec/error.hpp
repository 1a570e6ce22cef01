// The one error type of the codec, the index and the index file: a tagged value
// with a small payload that renders to one fixed English message.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace korvane {

struct DimensionMismatch { std::uint64_t expected; std::uint64_t got; };
struct BufferLength { std::uint64_t dim; std::uint64_t len; };
struct TopKExceedsF { std::uint64_t top_k; std::uint64_t f; };
struct InvalidGridSize { std::uint64_t size; std::uint8_t bits; };
// `text` is the operating system's own description, already in the form
// "{} (os error {})", or "failed to fill whole buffer" for a short read.
struct Io { std::string text; };
struct Format { std::string message; };
struct VersionMismatch { std::uint32_t file; std::uint32_t build; };
// Refusals of inputs that would otherwise corrupt codes or memory (a bin that
// does not fit 16 bits, a code past its grid, a NaN that breaks an ordering).
struct InvalidInput { std::string message; };
// A file call given up because the caller's interruption check asked it to
// stop; the caller holds its own account of why.
struct Interrupted {};

using SpectralError = std::variant<DimensionMismatch, BufferLength, TopKExceedsF, InvalidGridSize,
                                   Io, Format, VersionMismatch, InvalidInput, Interrupted>;

template <class T>
using Result = std::expected<T, SpectralError>;
using Status = std::expected<void, SpectralError>;

inline std::unexpected<SpectralError> fail(SpectralError err) { return std::unexpected(std::move(err)); }

std::string error_message(const SpectralError& err);

// InvalidGridSize for a width: the size is 1 shifted by the width, the shift
// count taken modulo 64 as the 64-bit shift instruction does.
SpectralError invalid_grid_size(std::uint8_t bits);

// Io from an errno value: "<strerror text> (os error <errno>)".
SpectralError io_error_from_errno(int errnum);
SpectralError io_short_read();

SpectralError invalid_input(std::string message);

}  // namespace korvane
