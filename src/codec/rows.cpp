#include "codec/rows.hpp"

#include <iterator>

namespace korvane {

Result<std::vector<SpectralCodes>> encode_rows(const SpectralEncoder& encoder, const RowSource& source) {
    std::vector<SpectralCodes> out;
    out.reserve(source.rows());
    Status s = encode_in_chunks(encoder, source, [&](std::vector<SpectralCodes>& codes) -> Status {
        std::move(codes.begin(), codes.end(), std::back_inserter(out));
        return {};
    });
    if (!s) return fail(s.error());
    return out;
}

}  // namespace korvane
