// libFuzzer target for the index-file reader and the code-record checks.
//
// The input is an index file, possibly followed by code records. The bytes go
// to an in-memory file read back through its /proc/self/fd path. Whatever the
// reader accepts must be exactly what its header describes. The bytes past the
// file (or the whole input, when the reader refuses it) are cut into code
// records: the first is the query, the rest are added to the loaded index (or
// to a small fixed one) and searched. add_codes and search_codes run the
// record checks first, so a record that passes them must decode and score
// without touching memory out of bounds.
//
// Record layout: u8 bins, u8 magnitude codes, u8 phase codes, u16 norm code,
// u8 top_k, then the bins as u16, the magnitude codes, the phase codes; all
// little-endian. A record cut short by the end of the input is dropped.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "index/index.hpp"
#include "io/format.hpp"
#include "test_support.hpp"

using namespace korvane;
using korvane::testing::bits_of;

namespace {

struct MemFile {
    int fd = -1;
    std::string path;
    MemFile() {
        fd = ::memfd_create("korvane-fuzz", MFD_CLOEXEC);
        if (fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    void fill(const std::uint8_t* data, std::size_t size) const {
        if (::ftruncate(fd, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t w = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (w <= 0) std::abort();
            done += static_cast<std::size_t>(w);
        }
    }
};

struct Record {
    SpectralCodes codes;
    std::uint8_t top_k = 0;
};

std::vector<Record> parse_records(std::span<const std::uint8_t> in, std::size_t max_records) {
    std::vector<Record> out;
    std::size_t p = 0;
    while (out.size() < max_records && in.size() - p >= 6) {
        const std::size_t k = in[p], nmag = in[p + 1], nphase = in[p + 2];
        Record r;
        r.codes.norm_q = static_cast<std::uint16_t>(in[p + 3] | (in[p + 4] << 8));
        r.top_k = in[p + 5];
        p += 6;
        if (in.size() - p < 2 * k + nmag + nphase) break;
        for (std::size_t j = 0; j < k; ++j, p += 2)
            r.codes.idx.push_back(static_cast<std::uint16_t>(in[p] | (in[p + 1] << 8)));
        r.codes.mag_q.assign(in.begin() + p, in.begin() + p + nmag);
        p += nmag;
        r.codes.phase_q.assign(in.begin() + p, in.begin() + p + nphase);
        p += nphase;
        out.push_back(std::move(r));
    }
    return out;
}

// The bytes an index file of this content occupies.
std::uint64_t file_bytes(const SpectralIndex& index) {
    const SpectralEncoder& e = index.encoder();
    return kHeaderSize + 4 * (e.mag_grid().size() + e.phase_grid().size() + e.norm_grid().size() +
                              2 * e.f() * index.size() + index.size());
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Records that passed the checks: every code indexes its grid, every bin is
// below F.
void exercise_records(SpectralIndex& index, std::span<const std::uint8_t> tail) {
    std::vector<Record> records = parse_records(tail, 9);
    if (records.empty()) return;
    const std::size_t n_before = index.size();
    std::vector<SpectralCodes> added;
    for (std::size_t i = 1; i < records.size(); ++i) added.push_back(records[i].codes);

    bool all_valid = true;
    for (std::size_t i = 0; i < added.size(); ++i)
        all_valid = all_valid && check_codes(index.encoder(), added[i], "code record " + std::to_string(i)).has_value();
    const Status s = index.add_codes(added);
    check(s.has_value() == all_valid, "add_codes disagrees with check_codes");
    check(index.size() == n_before + (s ? added.size() : 0), "add_codes changed the size wrongly");
    check(index.norms().size() == index.size(), "norms out of step");
    if (s && !added.empty()) {
        // The rows of the added items are their records, decoded.
        const SpectralEncoder& e = index.encoder();
        const std::size_t f = e.f();
        std::vector<float> mags(added.size() * f), phases(added.size() * f);
        index.dense_rows(n_before, added.size(), mags, phases);
        for (std::size_t i = 0; i < added.size(); ++i)
            for (std::size_t j = 0; j < added[i].idx.size(); ++j) {
                const std::size_t at = i * f + added[i].idx[j];
                bool later = false;  // a later occurrence of the bin holds
                for (std::size_t l = j + 1; l < added[i].idx.size(); ++l) later = later || added[i].idx[l] == added[i].idx[j];
                if (later) continue;
                check(bits_of(mags[at]) == bits_of(e.mag_grid()[added[i].mag_q[j]]),
                      "a stored magnitude is not its grid entry");
                check(bits_of(phases[at]) == bits_of(e.phase_grid()[added[i].phase_q[j]]),
                      "a stored phase is not its grid entry");
            }
    }

    const Record& q = records[0];
    auto found = index.search_codes(q.codes, q.top_k);
    if (found) {
        check(found->ids.size() == found->scores.size(), "ids and scores differ in length");
        check(found->ids.size() <= q.top_k && found->ids.size() <= index.size(), "too many results");
        for (std::uint32_t id : found->ids) check(id < index.size(), "id out of range");
    } else {
        check(index.size() > 0 && !q.codes.idx.empty(), "search of an empty index or query failed");
        check(!check_codes(index.encoder(), q.codes, "query").has_value(), "search refused a valid query");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemFile file;
    file.fill(data, size);
    const std::span<const std::uint8_t> input(data, size);

    auto loaded = read_index_file(file.path);
    if (loaded) {
        SpectralIndex& index = *loaded;
        const SpectralEncoder& e = index.encoder();
        const std::uint64_t used = file_bytes(index);
        check(used <= size, "the reader accepted more values than the file holds");
        check(e.f() == e.dim() / 2 + 1, "F does not follow dim");
        check(e.mag_grid().size() == std::uint64_t{1} << e.mag_bits(), "mag_grid length");
        check(e.phase_grid().size() == std::uint64_t{1} << e.phase_bits(), "phase_grid length");
        check(e.norm_grid().size() == std::uint64_t{1} << e.norm_bits(), "norm_grid length");
        check(index.norms().size() == index.size(), "items and norms differ in count");
        exercise_records(index, input.subspan(used));
        return 0;
    }
    // Refused files still feed the record checks, against a small encoder.
    static const std::optional<SpectralEncoder> fixed = [] {
        auto e = build_encoder(16, 4, 3, 2, 2);
        return e ? std::optional<SpectralEncoder>(std::move(*e)) : std::nullopt;
    }();
    check(fixed.has_value(), "the fixed encoder could not be built");
    SpectralIndex index(*fixed);
    exercise_records(index, input);
    return 0;
}
