// The replacing writer: what it leaves on disk when committed, when dropped,
// and on the paths it writes in place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "io/posix_file.hpp"

using namespace korvane;
namespace fs = std::filesystem;

namespace {

class ReplaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<unsigned> counter{0};
        dir_ = fs::temp_directory_path() /
               ("korvane-replace-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
        return names;
    }

    fs::path dir_;
};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Status save(const std::string& path, const std::string& text) {
    auto w = BufferedWriter::replace(path);
    if (!w) return fail(w.error());
    if (auto s = w->write(bytes(text)); !s) return s;
    return w->commit();
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// Runs `body` in a child process as an unprivileged user (when running as
// root) and returns its exit status.
template <class F>
int as_unprivileged(const fs::path& dir, F body) {
    if (::geteuid() == 0) {
        // The files become that user's, as if that user had made them.
        for (const auto& entry : fs::recursive_directory_iterator(dir)) ::lchown(entry.path().c_str(), 65534, 65534);
        ::lchown(dir.c_str(), 65534, 65534);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

}  // namespace

TEST_F(ReplaceTest, CommitLeavesExactlyTheNewBytesAndKeepsPermissionBits) {
    const std::string target = path("a.idx");
    write_text(target, std::string(10000, 'x'));
    ::chmod(target.c_str(), 0640);
    ASSERT_TRUE(save(target, "short"));
    EXPECT_EQ(read_text(target), "short");
    EXPECT_EQ(mode_of(target), 0640u);
    EXPECT_EQ(listing(), std::set<std::string>{"a.idx"});
}

TEST_F(ReplaceTest, NewFileGetsTheModeOpenWouldGiveUnderTheUmask) {
    const mode_t old = ::umask(027);
    const auto s = save(path("new.idx"), "data");
    ::umask(old);
    ASSERT_TRUE(s);
    EXPECT_EQ(mode_of(path("new.idx")), 0640u);
}

TEST_F(ReplaceTest, ThroughSymlinksTheNamedFileIsReplacedAndTheLinksKept) {
    fs::create_directories(dir_ / "real");
    write_text(path("real/f.idx"), "old contents");
    ::chmod(path("real/f.idx").c_str(), 0600);
    fs::create_symlink("real/f.idx", dir_ / "hop");       // relative to the link's directory
    fs::create_symlink(dir_ / "hop", dir_ / "link.idx");  // absolute, to another link
    fs::create_symlink("real/later.idx", dir_ / "dangling");

    ASSERT_TRUE(save(path("link.idx"), "new"));
    ASSERT_TRUE(save(path("dangling"), "made"));

    EXPECT_TRUE(fs::is_symlink(dir_ / "link.idx"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "hop"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));
    EXPECT_EQ(read_text(path("real/f.idx")), "new");
    EXPECT_EQ(mode_of(path("real/f.idx")), 0600u);
    EXPECT_EQ(read_text(path("real/later.idx")), "made");
    EXPECT_EQ(listing(), (std::set<std::string>{"real", "hop", "link.idx", "dangling"}));
}

TEST_F(ReplaceTest, WriterDroppedBeforeCommitLeavesTheTargetAndNoTemporary) {
    const std::string target = path("a.idx");
    write_text(target, "keep me");
    {
        auto w = BufferedWriter::replace(target);
        ASSERT_TRUE(w);
        ASSERT_TRUE(w->write(bytes(std::string(20000, 'y'))));  // past the buffer: bytes reach the temporary
        EXPECT_EQ(listing().size(), 2u);
    }
    EXPECT_EQ(read_text(target), "keep me");
    EXPECT_EQ(listing(), std::set<std::string>{"a.idx"});
}

TEST_F(ReplaceTest, KernelResolvedLinkIsWrittenInPlace) {
    const int fd = ::memfd_create("korvane-test", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "0123456789", 10), 10);
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
    ASSERT_TRUE(save(proc_path, "abc"));
    EXPECT_EQ(read_text(proc_path), "abc");
    ::close(fd);
}

// Without write permission on the directory no temporary can be made: a
// writable file there is still saved, in place; a read-only file in a
// writable directory is refused as opening it for writing would be.
TEST_F(ReplaceTest, PermissionsDecideBetweenInPlaceAndRefusal) {
    fs::create_directories(dir_ / "ro");
    write_text(path("ro/f.idx"), std::string(5000, 'o'));
    write_text(path("locked.idx"), "locked");
    ::chmod(path("ro/f.idx").c_str(), 0644);
    ::chmod(path("locked.idx").c_str(), 0444);
    ::chmod(path("ro").c_str(), 0555);

    const std::string ro_file = path("ro/f.idx"), locked = path("locked.idx");
    const int status = as_unprivileged(dir_, [&] {
        if (!save(ro_file, "in place")) return 1;
        const auto refused = save(locked, "nope");
        if (refused || error_message(refused.error()) != "I/O error: Permission denied (os error 13)") return 2;
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_text(ro_file), "in place");
    EXPECT_EQ(read_text(locked), "locked");
    EXPECT_EQ(listing(), (std::set<std::string>{"ro", "locked.idx"}));
    EXPECT_EQ(fs::directory_iterator(dir_ / "ro")->path().filename(), "f.idx");
}
