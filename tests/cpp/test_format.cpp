// The index file: layout, round trips, and the refusals of damaged, hostile or
// unreachable files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/error.hpp"
#include "index/index.hpp"
#include "io/format.hpp"
#include "test_support.hpp"

using namespace korvane;
using namespace korvane::testing;
namespace fs = std::filesystem;

namespace {

constexpr char kShortRead[] = "I/O error: failed to fill whole buffer";

// A fresh directory per test, removed afterwards.
class TempDir {
public:
    TempDir() {
        static std::atomic<unsigned> counter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("korvane-") + std::to_string(::getpid()) + "-" +
                           std::to_string(counter++) + "-" + (info ? info->name() : "x");
        for (char& ch : name)
            if (ch == '/') ch = '_';
        path_ = fs::temp_directory_path() / name;
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() { remove(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    // A death test's child runs the test again from the start, so it makes a
    // directory of its own, and it ends in _Exit, where no destructor runs:
    // it removes the directory before it goes.
    [[noreturn]] void remove_and_exit(int code) {
        remove();
        std::_Exit(code);
    }

private:
    void remove() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }

    fs::path path_;
};

std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

void put_le(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string message_of(const SpectralError& e) { return error_message(e); }

// A random valid record for `e`.
SpectralCodes random_codes(const SpectralEncoder& e, std::mt19937& rng) {
    SpectralCodes c;
    const std::size_t k = rng() % (e.top_k() + 1);
    for (std::size_t j = 0; j < k; ++j) {
        c.idx.push_back(static_cast<std::uint16_t>(rng() % e.f()));
        c.mag_q.push_back(static_cast<std::uint8_t>(rng() % std::min<std::size_t>(e.mag_grid().size(), 256)));
        c.phase_q.push_back(static_cast<std::uint8_t>(rng() % std::min<std::size_t>(e.phase_grid().size(), 256)));
    }
    c.norm_q = static_cast<std::uint16_t>(rng() % std::min<std::size_t>(e.norm_grid().size(), 65536));
    return c;
}

// The layout example: dim 8 (F = 5), top_k 2, widths 4, 3, 2, three items,
// with grid values that must pass bit for bit (NaN payloads, a signalling
// NaN, -0, infinities, negative and unordered entries).
SpectralEncoder example_encoder() {
    SpectralEncoder e = make_encoder(8, 2, 4, 3, 2);
    edit_grids(e, [](SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm) {
        mag[0] = std::bit_cast<float>(0x7fa00001u);  // signalling NaN
        mag[5] = std::bit_cast<float>(0xffc12345u);
        mag[6] = -0.0f;
        mag[7] = std::numeric_limits<float>::infinity();
        phase[3] = -1.5f;
        norm = {2.0f, 0.25f, -3.0f, 1.0f};
    });
    return e;
}

SpectralIndex example_index(std::size_t items = 3) {
    SpectralIndex ix(example_encoder());
    std::vector<SpectralCodes> codes = {
        SpectralCodes{{1, 4}, {3, 7}, {2, 5}, 3},
        SpectralCodes{{0, 2}, {0, 15}, {7, 3}, 0},
        SpectralCodes{{3, 2}, {6, 5}, {1, 1}, 1},
    };
    codes.resize(items);
    if (!ix.add_codes(codes)) throw std::runtime_error("add failed");
    return ix;
}

// ---------------------------------------------------------------------------
// Layout

TEST(IndexFile, ExampleLayoutPlacesEverySectionAtItsOffset) {
    TempDir dir;
    const SpectralIndex ix = example_index();
    const std::string path = dir.file("a.krvn");
    auto written = write_index_file(ix, path);
    ASSERT_TRUE(written) << message_of(written.error());
    EXPECT_EQ(*written, 276u);
    const auto b = read_bytes(path);
    ASSERT_EQ(b.size(), 276u);

    const std::vector<std::uint8_t> header = {'K', 'R', 'V', 'N', 1, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0,
                                              4,   3,   2,   0,   0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 32), header);

    struct Section {
        std::size_t offset;
        std::span<const float> values;
    };
    const DenseRows d = dense_of(ix);
    const SpectralEncoder& e = ix.encoder();
    const Section sections[] = {{32, e.mag_grid()}, {96, e.phase_grid()}, {128, e.norm_grid()},
                                {144, d.mags},    {204, d.phases},    {264, d.norms}};
    for (const auto& [offset, values] : sections)
        for (std::size_t i = 0; i < values.size(); ++i)
            EXPECT_EQ(le32(b, offset + 4 * i), std::bit_cast<std::uint32_t>(values[i]))
                << "section at " << offset << ", value " << i;
}

TEST(IndexFile, IndexWithoutItemsHoldsHeaderAndGridsOnly) {
    TempDir dir;
    const std::string path = dir.file("empty.krvn");
    auto written = write_index_file(example_index(0), path);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, 144u);
    const auto b = read_bytes(path);
    ASSERT_EQ(b.size(), 144u);
    EXPECT_EQ(le32(b, 24), 0u);

    auto loaded = read_index_file(path);
    ASSERT_TRUE(loaded) << message_of(loaded.error());
    EXPECT_EQ(loaded->size(), 0u);
    EXPECT_TRUE(loaded->norms().empty());
    auto r = loaded->search_codes(SpectralCodes{{1}, {1}, {1}, 1}, 10);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->ids.empty() && r->scores.empty());
}

// ---------------------------------------------------------------------------
// Round trips

struct RoundTripCase {
    const char* name;
    std::function<SpectralIndex()> make;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class IndexFileRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(IndexFileRoundTrip, LoadGivesTheSameIndexBitForBitAndSavesIdentically) {
    TempDir dir;
    SpectralIndex ix = GetParam().make();
    const std::string path = dir.file("a.krvn");
    auto written = write_index_file(ix, path);
    ASSERT_TRUE(written) << message_of(written.error());
    EXPECT_EQ(*written, fs::file_size(path));
    const std::uint64_t f = ix.encoder().f();
    EXPECT_EQ(*written, 32 + 4 * (ix.encoder().mag_grid().size() + ix.encoder().phase_grid().size() +
                                  ix.encoder().norm_grid().size() + 2 * f * ix.size() + ix.size()));

    auto loaded = read_index_file(path);
    ASSERT_TRUE(loaded) << message_of(loaded.error());
    const SpectralEncoder& a = ix.encoder();
    const SpectralEncoder& b = loaded->encoder();
    EXPECT_EQ(b.dim(), a.dim());
    EXPECT_EQ(b.top_k(), a.top_k());
    EXPECT_EQ(b.f(), a.f());
    EXPECT_EQ(b.mag_bits(), a.mag_bits());
    EXPECT_EQ(b.phase_bits(), a.phase_bits());
    EXPECT_EQ(b.norm_bits(), a.norm_bits());
    EXPECT_EQ(bits_of(b.mag_grid()), bits_of(a.mag_grid()));
    EXPECT_EQ(bits_of(b.phase_grid()), bits_of(a.phase_grid()));
    EXPECT_EQ(bits_of(b.norm_grid()), bits_of(a.norm_grid()));
    // Grid ends are not stored: the loaded encoder has the built ones.
    EXPECT_EQ(b.mag_lo(), 0.001f);
    EXPECT_EQ(b.mag_hi(), std::sqrt(static_cast<float>(a.f())));
    EXPECT_EQ(b.norm_lo(), 0.5f);
    EXPECT_EQ(b.norm_hi(), 2.0f);
    EXPECT_TRUE(b.fft_forward());
    ASSERT_EQ(loaded->size(), ix.size());
    const DenseRows want = dense_of(ix);
    const DenseRows got = dense_of(*loaded);
    EXPECT_EQ(bits_of(got.mags), bits_of(want.mags));
    EXPECT_EQ(bits_of(got.phases), bits_of(want.phases));
    EXPECT_EQ(bits_of(got.norms), bits_of(want.norms));

    // Same ids and score bits for several queries.
    std::mt19937 rng(5);
    for (int i = 0; i < 8; ++i) {
        SpectralCodes q = random_codes(a, rng);
        auto r1 = ix.search_codes(q, ix.size() + 1);
        auto r2 = loaded->search_codes(q, ix.size() + 1);
        ASSERT_TRUE(r1 && r2);
        EXPECT_EQ(r2->ids, r1->ids);
        EXPECT_EQ(bits_of(r2->scores), bits_of(r1->scores));
    }

    // Saving the loaded index reproduces the file byte for byte.
    const std::string again = dir.file("b.krvn");
    auto rewritten = write_index_file(*loaded, again);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(*rewritten, *written);
    EXPECT_EQ(read_bytes(again), read_bytes(path));

    // Items added after a load get ids from n on and are found under them.
    const std::size_t n = loaded->size();
    SpectralCodes extra{{0}, {0}, {0}, 0};
    ASSERT_TRUE(loaded->add_codes(std::span(&extra, 1)));
    ASSERT_EQ(loaded->size(), n + 1);
    const DenseRows grown = dense_of(*loaded);
    EXPECT_EQ(grown.mags.size(), (n + 1) * f);
    EXPECT_EQ(bits_of(std::span(grown.mags).subspan(0, n * f)), bits_of(want.mags));
    EXPECT_EQ(bits_of(std::span(grown.phases).subspan(0, n * f)), bits_of(want.phases));
    EXPECT_EQ(bits_of(std::span(grown.mags).subspan(n * f, 1)), bits_of(std::span(b.mag_grid()).subspan(0, 1)));
    EXPECT_EQ(bits_of(std::span(grown.phases).subspan(n * f, 1)), bits_of(std::span(b.phase_grid()).subspan(0, 1)));
    EXPECT_EQ(bits_of(grown.norms.back()), bits_of(b.norm_grid()[0]));
    auto found = loaded->search_codes(extra, n + 1);
    ASSERT_TRUE(found);
    const auto expected = korvane::testing::oracle_search(*loaded, extra, n + 1);
    EXPECT_EQ(found->ids, expected.ids);
    EXPECT_EQ(bits_of(found->scores), bits_of(expected.scores));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexFileRoundTrip,
    ::testing::Values(
        RoundTripCase{"ExampleWithSpecialGridValues", [] { return example_index(); }},
        RoundTripCase{"EmptyOddDimZeroWidths", [] { return SpectralIndex(make_encoder(5, 3, 0, 0, 0)); }},
        // Sections far larger than the 8 KiB buffer, from encoded vectors.
        RoundTripCase{"EncodedItemsLargerThanTheBuffer",
                      [] {
                          SpectralIndex ix(make_encoder(64, 10, 8, 8, 8));
                          std::mt19937 rng(11);
                          std::normal_distribution<float> g;
                          std::vector<float> flat(64 * 300);
                          for (float& v : flat) v = g(rng);
                          auto codes = encode_rows(ix.encoder(), flat);
                          if (!codes || !ix.add_codes(*codes)) throw std::runtime_error("encode/add failed");
                          return ix;
                      }},
        // A norm grid of 2^16 entries: one grid section larger than the buffer.
        RoundTripCase{"WideNormGrid",
                      [] {
                          SpectralIndex ix(make_encoder(9, 5, 1, 8, 16));
                          std::mt19937 rng(3);
                          std::vector<SpectralCodes> codes;
                          for (int i = 0; i < 7; ++i) codes.push_back(random_codes(ix.encoder(), rng));
                          if (!ix.add_codes(codes)) throw std::runtime_error("add failed");
                          return ix;
                      }}),
    ByName{});

TEST(IndexFile, SavingOverALongerFileTruncatesIt) {
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    const std::string fresh = dir.file("fresh.krvn");
    write_bytes(path, std::vector<std::uint8_t>(20000, 0xAB));
    const SpectralIndex ix = example_index();
    auto written = write_index_file(ix, path);
    ASSERT_TRUE(written);
    ASSERT_TRUE(write_index_file(ix, fresh));
    EXPECT_EQ(fs::file_size(path), *written);
    EXPECT_EQ(read_bytes(path), read_bytes(fresh));
}

TEST(IndexFile, NonzeroReservedBytesAndTrailingBytesAreIgnored) {
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    const SpectralIndex ix = example_index();
    ASSERT_TRUE(write_index_file(ix, path));
    auto b = read_bytes(path);
    for (std::size_t i = 19; i < 24; ++i) b[i] = 0xFF;
    b.insert(b.end(), 1000, 0x5A);
    write_bytes(path, b);

    auto loaded = read_index_file(path);
    ASSERT_TRUE(loaded) << message_of(loaded.error());
    EXPECT_EQ(loaded->size(), 3u);
    const DenseRows want = dense_of(ix);
    const DenseRows got = dense_of(*loaded);
    EXPECT_EQ(bits_of(got.mags), bits_of(want.mags));
    EXPECT_EQ(bits_of(got.phases), bits_of(want.phases));
    EXPECT_EQ(bits_of(got.norms), bits_of(want.norms));
}

// ---------------------------------------------------------------------------
// Bytes from the index's meaning, and loads from a pipe

void append_f32s(std::vector<std::uint8_t>& b, std::span<const float> values) {
    for (float v : values) {
        const std::uint32_t u = std::bit_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    }
}

// The file as its layout reads, from an encoder and dense rows.
std::vector<std::uint8_t> assemble(const SpectralEncoder& e, const DenseRows& d) {
    std::vector<std::uint8_t> b(32, 0);
    std::memcpy(b.data(), "KRVN", 4);
    put_le(b, 4, 1, 4);
    put_le(b, 8, e.dim(), 4);
    put_le(b, 12, e.top_k(), 4);
    b[16] = e.mag_bits();
    b[17] = e.phase_bits();
    b[18] = e.norm_bits();
    put_le(b, 24, d.norms.size(), 8);
    for (std::span<const float> section : {std::span<const float>(e.mag_grid()), std::span<const float>(e.phase_grid()),
                                           std::span<const float>(e.norm_grid()), std::span<const float>(d.mags),
                                           std::span<const float>(d.phases), std::span<const float>(d.norms)})
        append_f32s(b, section);
    return b;
}

// Loads `bytes` from an anonymous pipe, through /proc/self/fd, fed by a child
// process (which dies of SIGPIPE if the load stops reading early).
Result<SpectralIndex> load_through_pipe(std::span<const std::uint8_t> bytes) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::close(fds[0]);
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t w = ::write(fds[1], bytes.data() + at, bytes.size() - at);
            if (w <= 0) std::_Exit(1);
            at += static_cast<std::size_t>(w);
        }
        std::_Exit(0);
    }
    ::close(fds[1]);
    auto loaded = read_index_file("/proc/self/fd/" + std::to_string(fds[0]));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return loaded;
}

void expect_same_index(const SpectralIndex& got, const SpectralIndex& want, const std::string& what) {
    const SpectralEncoder& a = got.encoder();
    const SpectralEncoder& b = want.encoder();
    EXPECT_EQ(a.dim(), b.dim()) << what;
    EXPECT_EQ(a.top_k(), b.top_k()) << what;
    EXPECT_EQ(a.f(), b.f()) << what;
    EXPECT_EQ(bits_of(a.mag_grid()), bits_of(b.mag_grid())) << what;
    EXPECT_EQ(bits_of(a.phase_grid()), bits_of(b.phase_grid())) << what;
    EXPECT_EQ(bits_of(a.norm_grid()), bits_of(b.norm_grid())) << what;
    ASSERT_EQ(got.size(), want.size()) << what;
    const DenseRows x = dense_of(got), y = dense_of(want);
    EXPECT_EQ(bits_of(x.mags), bits_of(y.mags)) << what;
    EXPECT_EQ(bits_of(x.phases), bits_of(y.phases)) << what;
    EXPECT_EQ(bits_of(x.norms), bits_of(y.norms)) << what;
    std::mt19937 rng(17);
    for (int i = 0; i < 4; ++i) {
        SpectralCodes q = random_codes(b, rng);
        if (q.idx.empty()) q = SpectralCodes{{0}, {0}, {0}, 0};
        auto r1 = got.search_codes(q, 50);
        auto r2 = want.search_codes(q, 50);
        ASSERT_TRUE(r1 && r2) << what;
        EXPECT_EQ(r1->ids, r2->ids) << what;
        EXPECT_EQ(bits_of(r1->scores), bits_of(r2->scores)) << what;
    }
}

// 2000 encoded Gaussian rows at dim 64, 300 dense rows as a hand-made file
// may hold them, then 100 random records.
SpectralIndex mixed_index(std::uint8_t mag_bits, std::uint8_t phase_bits) {
    SpectralIndex ix(make_encoder(64, 8, mag_bits, phase_bits, 8));
    std::mt19937 rng(31);
    std::normal_distribution<float> g;
    std::vector<float> flat(64 * 2000);
    for (float& v : flat) v = g(rng);
    if (!ix.add_rows(flat)) throw std::runtime_error("add_rows failed");
    const DenseRows d = hostile_rows(ix.encoder(), rng, 300);
    if (!ix.add_dense_rows(d.mags, d.phases, d.norms)) throw std::runtime_error("dense add failed");
    std::vector<SpectralCodes> codes;
    for (int i = 0; i < 100; ++i) codes.push_back(random_codes(ix.encoder(), rng));
    if (!ix.add_codes(codes)) throw std::runtime_error("add failed");
    return ix;
}

struct BytesCase {
    const char* name;
    std::function<SpectralIndex()> make;
};

void PrintTo(const BytesCase& c, std::ostream* os) { *os << c.name; }

class IndexFileBytes : public ::testing::TestWithParam<BytesCase> {};

// The writer forms the rows a block at a time from codes and side rows; the
// file must still be exactly the layout over `dense_rows` and `norms`. The
// same bytes load alike from the file and from a pipe.
TEST_P(IndexFileBytes, WriteEqualsTheLayoutOfTheDenseRowsAndLoadsAlikeFromAPipe) {
    TempDir dir;
    const SpectralIndex ix = GetParam().make();
    const std::string path = dir.file("a.krvn");
    auto written = write_index_file(ix, path);
    ASSERT_TRUE(written) << message_of(written.error());
    const std::vector<std::uint8_t> want = assemble(ix.encoder(), dense_of(ix));
    const std::vector<std::uint8_t> got = read_bytes(path);
    EXPECT_EQ(*written, want.size());
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "first difference at byte "
                             << (std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin());

    auto from_file = read_index_file(path);
    ASSERT_TRUE(from_file) << message_of(from_file.error());
    expect_same_index(*from_file, ix, "file");
    auto from_pipe = load_through_pipe(got);
    ASSERT_TRUE(from_pipe) << message_of(from_pipe.error());
    expect_same_index(*from_pipe, *from_file, "pipe");

    // A pipe that ends inside the rows or the norms is a short read, as a
    // file is.
    for (std::size_t cut : {got.size() - 1, got.size() - 4 * ix.size() - 1, (got.size() + 144) / 2}) {
        if (cut < 144 || cut >= got.size()) continue;
        auto short_pipe = load_through_pipe(std::span(got).first(cut));
        ASSERT_FALSE(short_pipe) << "cut at " << cut;
        EXPECT_EQ(message_of(short_pipe.error()), kShortRead);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexFileBytes,
    ::testing::Values(
        BytesCase{"Example", [] { return example_index(); }},
        BytesCase{"Empty", [] { return example_index(0); }},
        // Sections of several blocks; encoded items, side rows and records,
        // with codes the store keeps in two bytes, in one, and in blocks of
        // low bytes and high bits.
        BytesCase{"CodesAndDenseRowsOverSeveralBlocks", [] { return mixed_index(8, 8); }},
        BytesCase{"OneByteCodesAndDenseRowsOverSeveralBlocks", [] { return mixed_index(4, 4); }},
        BytesCase{"ElevenBitCodesAndDenseRowsOverSeveralBlocks", [] { return mixed_index(6, 5); }},
        // More items than a segment holds.
        BytesCase{"ItemsOverTwoSegments",
                  [] {
                      SpectralIndex ix(make_encoder(4, 2, 2, 2, 2));
                      std::mt19937 rng(32);
                      std::vector<SpectralCodes> codes;
                      for (int i = 0; i < 70000; ++i) codes.push_back(random_codes(ix.encoder(), rng));
                      if (!ix.add_codes(codes)) throw std::runtime_error("add failed");
                      return ix;
                  }}),
    ByName{});

// A hand-made file whose rows are not grid values (NaN payloads, -0, +0
// magnitudes with phases, values no grid holds) beside rows that are: the
// loaded index gives those rows back bit for bit, searches exactly as the
// literal kernel over them, and saves the same bytes.
TEST(IndexFile, HostileRowsLoadVerbatimAndSearchLikeTheLiteralKernel) {
    TempDir dir;
    const SpectralEncoder e = example_encoder();
    std::mt19937 rng(41);
    const DenseRows rows = hostile_rows(e, rng, 400);
    const std::vector<std::uint8_t> bytes = assemble(e, rows);
    const std::string path = dir.file("hostile.krvn");
    write_bytes(path, bytes);

    auto from_file = read_index_file(path);
    ASSERT_TRUE(from_file) << message_of(from_file.error());
    auto from_pipe = load_through_pipe(bytes);
    ASSERT_TRUE(from_pipe) << message_of(from_pipe.error());
    for (const SpectralIndex* ix : {&*from_file, &*from_pipe}) {
        const DenseRows got = dense_of(*ix);
        ASSERT_EQ(bits_of(got.mags), bits_of(rows.mags));
        ASSERT_EQ(bits_of(got.phases), bits_of(rows.phases));
        ASSERT_EQ(bits_of(got.norms), bits_of(rows.norms));
        for (int i = 0; i < 20; ++i) {
            SpectralCodes q = random_codes(e, rng);
            if (q.idx.empty()) q = SpectralCodes{{1, 1}, {2, 9}, {3, 4}, 1};
            for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{399}, std::uint64_t{400},
                                    std::uint64_t{401}}) {
                auto r = ix->search_codes(q, k);
                ASSERT_TRUE(r);
                const SpectralSearchResult want = oracle_search(e, rows, q, k);
                ASSERT_EQ(r->ids, want.ids) << "query " << i << ", top_k " << k;
                ASSERT_EQ(bits_of(r->scores), bits_of(want.scores)) << "query " << i << ", top_k " << k;
            }
        }
        const std::string again = dir.file("again.krvn");
        ASSERT_TRUE(write_index_file(*ix, again));
        EXPECT_TRUE(read_bytes(again) == bytes);
    }
}

// ---------------------------------------------------------------------------
// Damaged files

class IndexFileTruncated : public ::testing::TestWithParam<std::size_t> {};

// Cut the 276-byte example file: before the header ends, right after it, in
// or between each section, and one byte short.
TEST_P(IndexFileTruncated, GivesShortReadError) {
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    ASSERT_TRUE(write_index_file(example_index(), path));
    auto b = read_bytes(path);
    ASSERT_EQ(b.size(), 276u);
    b.resize(GetParam());
    write_bytes(path, b);

    auto loaded = read_index_file(path);
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(std::holds_alternative<Io>(loaded.error()));
    EXPECT_EQ(message_of(loaded.error()), kShortRead);
}

INSTANTIATE_TEST_SUITE_P(Lengths, IndexFileTruncated,
                         ::testing::Values(0, 4, 31, 32, 42, 96, 130, 144, 174, 204, 263, 264, 275),
                         ByNumber{"Bytes"});

struct HeaderCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> patch;
    std::string message;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class IndexFileHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(IndexFileHeader, IsRefusedWithItsMessage) {
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    ASSERT_TRUE(write_index_file(example_index(), path));
    auto b = read_bytes(path);
    GetParam().patch(b);
    write_bytes(path, b);
    auto loaded = read_index_file(path);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(message_of(loaded.error()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexFileHeader,
    ::testing::Values(
        HeaderCase{"FirstByteChanged", [](auto& b) { b[0] = 'k'; }, "invalid on-disk format: magic bytes mismatch"},
        HeaderCase{"LastMagicByteChanged", [](auto& b) { b[3] = 0; }, "invalid on-disk format: magic bytes mismatch"},
        // The version is not looked at when the magic is wrong.
        HeaderCase{"BadMagicAndVersion",
                   [](auto& b) {
                       b[1] = 'X';
                       put_le(b, 4, 2, 4);
                   },
                   "invalid on-disk format: magic bytes mismatch"},
        HeaderCase{"Version2", [](auto& b) { put_le(b, 4, 2, 4); },
                   "format version mismatch: file is v2, this build is v1"},
        HeaderCase{"Version0", [](auto& b) { put_le(b, 4, 0, 4); },
                   "format version mismatch: file is v0, this build is v1"},
        HeaderCase{"VersionHighByte", [](auto& b) { put_le(b, 4, 0x01000001, 4); },
                   "format version mismatch: file is v16777217, this build is v1"},
        HeaderCase{"Dim3", [](auto& b) { put_le(b, 8, 3, 4); }, "dimension mismatch: expected 4, got 3"},
        // dim is checked before top_k.
        HeaderCase{"Dim0TopK0",
                   [](auto& b) {
                       put_le(b, 8, 0, 4);
                       put_le(b, 12, 0, 4);
                   },
                   "dimension mismatch: expected 4, got 0"},
        HeaderCase{"TopK0", [](auto& b) { put_le(b, 12, 0, 4); }, "top_k (0) exceeds F (5)"},
        HeaderCase{"TopKPastF", [](auto& b) { put_le(b, 12, 6, 4); }, "top_k (6) exceeds F (5)"},
        HeaderCase{"PhaseBits31", [](auto& b) { b[17] = 31; }, "invalid grid size: 2^31 = 2147483648 overflows"},
        HeaderCase{"MagBits40BeforeNormBits31",
                   [](auto& b) {
                       b[16] = 40;
                       b[18] = 31;
                   },
                   "invalid grid size: 2^40 = 1099511627776 overflows"}),
    ByName{});

// A 32-byte file that is a good header for a 3-item index but nothing else.
TEST(IndexFile, HeaderWithoutSectionsGivesShortRead) {
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    ASSERT_TRUE(write_index_file(example_index(), path));
    auto b = read_bytes(path);
    b.resize(32);
    write_bytes(path, b);
    auto loaded = read_index_file(path);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(message_of(loaded.error()), kShortRead);
}

// Item counts the file cannot hold, or whose sizes overflow, must be refused
// before anything is sized from them. The load runs in a child whose address
// space is capped, so a loader that allocated first would die there; the
// child's exit code is 0 when the load failed as it should.
int load_with_capped_memory(const std::string& path) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t cap =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
    const rlimit lim{cap, cap};
    ::setrlimit(RLIMIT_AS, &lim);
    auto loaded = read_index_file(path);
    const bool ok =
        !loaded && std::holds_alternative<Io>(loaded.error()) && message_of(loaded.error()) == kShortRead;
    return ok ? 0 : 1;
}

class IndexFileHostileCount : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(IndexFileHostileCount, GivesShortReadWithoutAllocating) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    ASSERT_TRUE(write_index_file(example_index(), path));
    auto b = read_bytes(path);
    put_le(b, 24, GetParam(), 8);
    write_bytes(path, b);

    EXPECT_EXIT(dir.remove_and_exit(load_with_capped_memory(path)), ::testing::ExitedWithCode(0), "");
}

// A pipe has no length to check a header against: what the header promises
// must only be allocated as the bytes arrive. The child writing the pipe is
// forked before the cap, and the load then fails at the end of the data.
int load_pipe_with_capped_memory(const std::vector<std::uint8_t>& bytes) {
    int fds[2];
    if (::pipe(fds) != 0) return 2;
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::close(fds[0]);
        (void)!::write(fds[1], bytes.data(), bytes.size());
        std::_Exit(0);
    }
    ::close(fds[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    return load_with_capped_memory(path);
}

TEST_P(IndexFileHostileCount, FromAPipeGivesShortReadWithoutAllocating) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    ASSERT_TRUE(write_index_file(example_index(), path));
    auto b = read_bytes(path);
    put_le(b, 24, GetParam(), 8);
    EXPECT_EXIT(dir.remove_and_exit(load_pipe_with_capped_memory(b)), ::testing::ExitedWithCode(0), "");
}

// A bare header from a pipe whose widths ask for 2^28-entry grids: no grid
// of that size may be built or sized before its values arrive.
TEST(IndexFile, WideGridsFromAPipeGiveShortReadWithoutAllocating) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string path = dir.file("a.krvn");
    ASSERT_TRUE(write_index_file(example_index(), path));
    auto b = read_bytes(path);
    b.resize(32);
    b[16] = b[17] = b[18] = 28;
    put_le(b, 24, std::uint64_t{1} << 30, 8);
    EXPECT_EXIT(dir.remove_and_exit(load_pipe_with_capped_memory(b)), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Counts, IndexFileHostileCount,
                         ::testing::Values(std::uint64_t{4},            // one more than the data
                                           std::uint64_t{1} << 26,      // 2.7 GB of rows
                                           std::uint64_t{1} << 32,      // past 32-bit ids
                                           std::uint64_t{1} << 40,
                                           (std::uint64_t{1} << 62) + 1,  // F × n overflows
                                           std::uint64_t{1} << 63,
                                           std::numeric_limits<std::uint64_t>::max()),
                         ByNumber{"Count"});

// ---------------------------------------------------------------------------
// Paths and the file system

TEST(IndexFile, MissingFileOrDirectoryGivesTheSystemsError) {
    TempDir dir;
    const std::string enoent = "I/O error: No such file or directory (os error 2)";
    auto loaded = read_index_file(dir.file("missing.krvn"));
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(std::holds_alternative<Io>(loaded.error()));
    EXPECT_EQ(message_of(loaded.error()), enoent);

    auto written = write_index_file(example_index(), dir.file("no-such-dir/a.krvn"));
    ASSERT_FALSE(written);
    EXPECT_TRUE(std::holds_alternative<Io>(written.error()));
    EXPECT_EQ(message_of(written.error()), enoent);
}

TEST(IndexFile, DirectoryInPlaceOfTheFileGivesTheSystemsError) {
    TempDir dir;
    const std::string sub = dir.file("sub");
    fs::create_directory(sub);
    auto loaded = read_index_file(sub);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(message_of(loaded.error()), "I/O error: Is a directory (os error 21)");
    auto written = write_index_file(example_index(), sub);
    ASSERT_FALSE(written);
    EXPECT_EQ(message_of(written.error()), "I/O error: Is a directory (os error 21)");
}

TEST(IndexFile, PathWithNulByteIsRefusedBeforeTouchingAnyFile) {
    TempDir dir;
    const std::string head = dir.file("a");
    const std::string path = head + std::string("\0b.krvn", 7);
    auto written = write_index_file(example_index(), path);
    ASSERT_FALSE(written);
    EXPECT_TRUE(std::holds_alternative<Io>(written.error()));
    EXPECT_TRUE(message_of(written.error()).starts_with("I/O error: "));
    EXPECT_FALSE(fs::exists(head));

    // Reading refuses it too, even when the part before the NUL exists.
    ASSERT_TRUE(write_index_file(example_index(), head));
    auto loaded = read_index_file(path);
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(std::holds_alternative<Io>(loaded.error()));
}

// Grids whose lengths differ from 2^bits would give a file that cannot be
// read back; the writer refuses them before opening the file.
struct BadGridCase {
    const char* name;
    std::function<void(SpectralGrid& mag, SpectralGrid& phase, SpectralGrid& norm)> patch;
};

void PrintTo(const BadGridCase& c, std::ostream* os) { *os << c.name; }

class IndexFileBadGrid : public ::testing::TestWithParam<BadGridCase> {};

TEST_P(IndexFileBadGrid, WriteIsRefusedAndNoFileIsTouched) {
    TempDir dir;
    SpectralEncoder e = example_encoder();
    edit_grids(e, GetParam().patch);
    SpectralIndex ix(e);
    if (!e.norm_grid().empty()) {
        const SpectralCodes item{{1, 4}, {3, 7}, {2, 5}, 3};
        ASSERT_TRUE(ix.add_codes(std::span(&item, 1)));
    }

    const std::string fresh = dir.file("fresh.krvn");
    auto written = write_index_file(ix, fresh);
    ASSERT_FALSE(written);
    EXPECT_TRUE(std::holds_alternative<InvalidInput>(written.error()));
    EXPECT_TRUE(message_of(written.error()).starts_with("invalid input: "));
    EXPECT_FALSE(fs::exists(fresh));

    const std::string existing = dir.file("existing.krvn");
    const std::vector<std::uint8_t> old(500, 0x11);
    write_bytes(existing, old);
    ASSERT_FALSE(write_index_file(ix, existing));
    EXPECT_EQ(read_bytes(existing), old);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexFileBadGrid,
    ::testing::Values(BadGridCase{"MagGridLonger", [](auto& mag, auto&, auto&) { mag.push_back(1.0f); }},
                      BadGridCase{"PhaseGridShorter", [](auto&, auto& phase, auto&) { phase.pop_back(); }},
                      BadGridCase{"NormGridEmpty", [](auto&, auto&, auto& norm) { norm.clear(); }}),
    ByName{});

// ---------------------------------------------------------------------------
// read_f32s

class ReadF32s : public ::testing::Test {
protected:
    std::string make_file(std::span<const std::uint32_t> words, std::size_t extra_bytes = 0) {
        std::vector<std::uint8_t> b(4 * words.size() + extra_bytes, 0xEE);
        for (std::size_t i = 0; i < words.size(); ++i) put_le(b, 4 * i, words[i], 4);
        const std::string path = dir.file("values.bin");
        write_bytes(path, b);
        return path;
    }
    TempDir dir;
    const std::vector<float> sentinel = {-7.0f, -7.0f, -7.0f, -7.0f};
};

TEST_F(ReadF32s, DecodesLittleEndianBitPatternsInOrderAndZeroCountReadsNothing) {
    const std::vector<std::uint32_t> words = {0x3f800000u, 0x80000000u, 0x7fa00001u, 0xff800000u, 0x00000001u,
                                              0xdeadbeefu};
    auto reader = BufferedReader::open(make_file(words));
    ASSERT_TRUE(reader);
    std::vector<float> none;
    ASSERT_TRUE(read_f32s(*reader, none));
    std::vector<float> first(2), rest(4);
    ASSERT_TRUE(read_f32s(*reader, first));
    ASSERT_TRUE(read_f32s(*reader, rest));
    EXPECT_EQ(bits_of(first), (std::vector<std::uint32_t>{0x3f800000u, 0x80000000u}));
    EXPECT_EQ(bits_of(rest), (std::vector<std::uint32_t>(words.begin() + 2, words.end())));
    // At the end of the file a zero count still succeeds, one more value not.
    ASSERT_TRUE(read_f32s(*reader, none));
    std::vector<float> one(1);
    auto s = read_f32s(*reader, one);
    ASSERT_FALSE(s);
    EXPECT_EQ(message_of(s.error()), kShortRead);
}

TEST_F(ReadF32s, ShortFileLeavesTheDestinationUnchanged) {
    const std::vector<std::uint32_t> words = {0x3f800000u, 0x40000000u, 0x40400000u};
    auto reader = BufferedReader::open(make_file(words, 3));  // 15 bytes: 3.75 values
    ASSERT_TRUE(reader);
    std::vector<float> dst = sentinel;
    auto s = read_f32s(*reader, dst);
    ASSERT_FALSE(s);
    EXPECT_EQ(message_of(s.error()), kShortRead);
    EXPECT_EQ(bits_of(dst), bits_of(sentinel));
}

TEST_F(ReadF32s, FileCutAfterOpeningLeavesTheDestinationUnchanged) {
    const std::vector<std::uint32_t> words = {0x3f800000u, 0x40000000u, 0x40400000u, 0x40800000u};
    const std::string path = make_file(words);
    auto reader = BufferedReader::open(path);
    ASSERT_TRUE(reader);
    fs::resize_file(path, 6);
    std::vector<float> dst = sentinel;
    auto s = read_f32s(*reader, dst);
    ASSERT_FALSE(s);
    EXPECT_EQ(message_of(s.error()), kShortRead);
    EXPECT_EQ(bits_of(dst), bits_of(sentinel));
}

// A pipe has no size to check beforehand; the data still must not reach the
// destination unless all of it arrives.
TEST_F(ReadF32s, PipeEndingEarlyLeavesTheDestinationUnchanged) {
    const std::string path = dir.file("fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = ::open(path.c_str(), O_WRONLY);
        if (fd < 0) return;
        const std::uint8_t bytes[10] = {0, 0, 0x80, 0x3f, 0, 0, 0, 0x40, 1, 2};
        (void)!::write(fd, bytes, sizeof bytes);
        ::close(fd);
    });
    auto reader = BufferedReader::open(path);  // returns once the writer has opened its end
    writer.join();
    ASSERT_TRUE(reader);
    std::vector<float> dst = sentinel;
    auto s = read_f32s(*reader, dst);
    ASSERT_FALSE(s);
    EXPECT_EQ(message_of(s.error()), kShortRead);
    EXPECT_EQ(bits_of(dst), bits_of(sentinel));
}

}  // namespace
