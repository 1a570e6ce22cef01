#include "codec/error.hpp"

#include <cstring>

namespace korvane {

namespace {

template <class... Fs>
struct Overloaded : Fs... { using Fs::operator()...; };

std::string num(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::string error_message(const SpectralError& err) {
    return std::visit(
        Overloaded{
            [](const DimensionMismatch& e) {
                return "dimension mismatch: expected " + num(e.expected) + ", got " + num(e.got);
            },
            [](const BufferLength& e) {
                return "buffer length " + num(e.len) + " is not a multiple of dimension " + num(e.dim);
            },
            [](const TopKExceedsF& e) { return "top_k (" + num(e.top_k) + ") exceeds F (" + num(e.f) + ")"; },
            [](const InvalidGridSize& e) {
                return "invalid grid size: 2^" + num(e.bits) + " = " + num(e.size) + " overflows";
            },
            [](const Io& e) { return "I/O error: " + e.text; },
            [](const Format& e) { return "invalid on-disk format: " + e.message; },
            [](const VersionMismatch& e) {
                return "format version mismatch: file is v" + num(e.file) + ", this build is v" + num(e.build);
            },
            [](const InvalidInput& e) { return "invalid input: " + e.message; },
            [](const Interrupted&) { return std::string("interrupted"); },
        },
        err);
}

SpectralError invalid_grid_size(std::uint8_t bits) {
    return InvalidGridSize{std::uint64_t{1} << (bits & 63u), bits};
}

SpectralError io_error_from_errno(int errnum) {
    char buf[256];
    // GNU strerror_r returns a pointer that may or may not be `buf`.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return Io{std::string(text) + " (os error " + std::to_string(errnum) + ")"};
}

SpectralError io_short_read() { return Io{"failed to fill whole buffer"}; }

SpectralError invalid_input(std::string message) { return InvalidInput{std::move(message)}; }

}  // namespace korvane
