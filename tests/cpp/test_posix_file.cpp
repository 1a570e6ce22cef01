// The replacing writer: what it leaves on disk when committed, when dropped,
// and on the paths it writes in place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
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
    auto w = BufferedWriter::replace(path, text.size());
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
        auto w = BufferedWriter::replace(target, 20000);
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

// ---- faults part way through a save that writes in place --------------------

namespace {

enum class Call { Openat, Read, Write, Fallocate, Ftruncate, Fsync, Renameat };

// One injected failure: calls of one kind (on one file, when `ino` is set;
// for openat, only those that create) fail with `err` after `skip` of them
// have gone through, `times` times (-1: always). A reservation that fails
// `partly` first takes half of what it would add, as a file system that runs
// out part way does; a write that fails `partly` writes half and returns that.
struct Fault {
    Call call;
    int err;
    int skip = 0;
    int times = 1;
    ino_t ino = 0;
    bool partly = false;
};

std::vector<Fault> faults;

bool on_file(const Fault& f, int fd) {
    if (f.ino == 0) return true;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_ino == f.ino;
}

// The fault that takes this call, if any.
const Fault* take(Call call, int fd, int flags = 0) {
    for (Fault& f : faults) {
        if (f.call != call || f.times == 0) continue;
        if (call == Call::Openat ? (flags & O_CREAT) == 0 : !on_file(f, fd)) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        if (f.times > 0) --f.times;
        return &f;
    }
    return nullptr;
}

template <class R>
R failing(const Fault& f) {
    errno = f.err;
    return static_cast<R>(-1);
}

const FileCalls kFaulty{
    [](int d, const char* name, int flags, mode_t mode) {
        if (const Fault* f = take(Call::Openat, -1, flags)) return failing<int>(*f);
        return system_file_calls().openat(d, name, flags, mode);
    },
    [](int fd, void* data, std::size_t len) {
        if (const Fault* f = take(Call::Read, fd)) return failing<ssize_t>(*f);
        return system_file_calls().read(fd, data, len);
    },
    [](int fd, const void* data, std::size_t len) {
        if (const Fault* f = take(Call::Write, fd)) {
            if (f->partly && len > 1) return system_file_calls().write(fd, data, len / 2);
            return failing<ssize_t>(*f);
        }
        return system_file_calls().write(fd, data, len);
    },
    [](int fd, int mode, off_t offset, off_t len) {
        if (const Fault* f = take(Call::Fallocate, fd)) {
            struct stat st {};
            if (f->partly && ::fstat(fd, &st) == 0 && len > st.st_size)
                (void)system_file_calls().fallocate(fd, mode, 0, st.st_size + (len - st.st_size) / 2);
            return failing<int>(*f);
        }
        return system_file_calls().fallocate(fd, mode, offset, len);
    },
    [](int fd, off_t len) {
        if (const Fault* f = take(Call::Ftruncate, fd)) return failing<int>(*f);
        return system_file_calls().ftruncate(fd, len);
    },
    [](int fd) {
        if (const Fault* f = take(Call::Fsync, fd)) return failing<int>(*f);
        return system_file_calls().fsync(fd);
    },
    [](int from_dir, const char* from, int to_dir, const char* to) {
        if (const Fault* f = take(Call::Renameat, -1)) return failing<int>(*f);
        return system_file_calls().renameat(from_dir, from, to_dir, to);
    },
};

// The faulty calls for as long as it lives, and no faults after.
struct FaultyCalls {
    FaultyCalls() { file_calls() = kFaulty; }
    ~FaultyCalls() {
        file_calls() = system_file_calls();
        faults.clear();
    }
};

// The interruption check of a caller whose signal handler raises: counts its
// calls and notes what the target held at the first.
struct Probe {
    static inline std::string target;
    static inline int calls = 0;
    static inline std::string seen;
    static bool stop() {
        if (calls++ == 0) seen = read_text(target);
        return false;
    }
};

// How a save comes to write in place: the directory refuses the rename (a
// file bind-mounted into place), or refuses the temporary altogether.
enum class Route { RenameRefused, NoTemporary };

std::string route_name(const ::testing::TestParamInfo<Route>& info) {
    return info.param == Route::RenameRefused ? "RenameRefused" : "NoTemporary";
}

class InPlaceFaultTest : public ReplaceTest, public ::testing::WithParamInterface<Route> {
protected:
    void SetUp() override {
        ReplaceTest::SetUp();
        target_ = path("a.idx");
        Probe::target = target_;
        start();
    }
    void TearDown() override {
        faulty_.reset();
        ReplaceTest::TearDown();
    }
    // The old file afresh, and the route's fault alone.
    void start() {
        write_text(target_, old_);
        ::chmod(target_.c_str(), 0640);
        struct stat st {};
        ::stat(target_.c_str(), &st);
        ino_ = st.st_ino;
        faulty_.emplace();
        faults = {GetParam() == Route::RenameRefused ? Fault{Call::Renameat, EBUSY, 0, -1}
                                                     : Fault{Call::Openat, EACCES, 0, -1}};
        Probe::calls = 0;
        Probe::seen.clear();
    }
    // A failure of the target file's own calls.
    void fail_target(Call call, int err, int skip = 0, int times = 1, bool partly = false) {
        faults.push_back(Fault{call, err, skip, times, ino_, partly});
    }
    // The new bytes in several writes, each straight to the file.
    Status save_new(InterruptCheck check = nullptr) {
        auto w = BufferedWriter::replace(target_, new_.size(), check);
        if (!w) return fail(w.error());
        for (std::size_t at = 0; at < new_.size(); at += 10000)
            if (auto s = w->write(bytes(new_.substr(at, 10000))); !s) return s;
        return w->commit();
    }
    // The file is still the one that stood there: written in place, never
    // replaced, its mode kept.
    void expect_same_file() const {
        struct stat st {};
        ASSERT_EQ(::stat(target_.c_str(), &st), 0);
        EXPECT_EQ(st.st_ino, ino_);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
    std::set<std::string> others() const {
        auto names = listing();
        names.erase("a.idx");
        return names;
    }

    std::string target_;
    const std::string old_ = std::string(30000, 'o');
    const std::string new_ = std::string(50000, 'n') + "end";
    ino_t ino_ = 0;
    std::optional<FaultyCalls> faulty_;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Routes, InPlaceFaultTest, ::testing::Values(Route::RenameRefused, Route::NoTemporary),
                         route_name);

TEST_P(InPlaceFaultTest, WritesTheNewBytesOverTheOldFile) {
    for (const std::string& text : {new_, std::string("short")}) {
        auto w = BufferedWriter::replace(target_, text.size());
        ASSERT_TRUE(w);
        ASSERT_TRUE(w->write(bytes(text)));
        ASSERT_TRUE(w->commit());
        EXPECT_EQ(read_text(target_), text);
        expect_same_file();
        EXPECT_TRUE(others().empty());
    }
}

// Failing before any old byte changes: the file is exactly as it was, its
// length too, and no temporary is left.
TEST_P(InPlaceFaultTest, FailureBeforeAnyOldByteChangesLeavesTheOldFile) {
    struct Case {
        const char* what;
        Call call;
        int err;
        bool partly;
    };
    for (const Case& c : {Case{"full disk", Call::Fallocate, ENOSPC, false},
                          Case{"full part way", Call::Fallocate, ENOSPC, true},
                          Case{"size limit", Call::Fallocate, EFBIG, false},
                          Case{"quota", Call::Fallocate, EDQUOT, false},
                          Case{"no reservations", Call::Fallocate, EOPNOTSUPP, false},
                          Case{"first write", Call::Write, ENOSPC, false}}) {
        SCOPED_TRACE(c.what);
        start();
        fail_target(c.call, c.err, 0, 1, c.partly);
        const auto s = save_new();
        ASSERT_FALSE(s);
        EXPECT_EQ(error_message(s.error()), error_message(io_error_from_errno(c.err)));
        EXPECT_EQ(read_text(target_), old_);
        expect_same_file();
        EXPECT_TRUE(others().empty());
    }
}

// A new file small enough to wait in the buffer until commit, longer than
// the old one: its first write failing there leaves the old file's length too.
TEST_P(InPlaceFaultTest, BufferedFileFailingAtCommitLeavesTheOldFile) {
    write_text(target_, "old");
    fail_target(Call::Write, ENOSPC);
    const std::string small(5000, 's');
    auto w = BufferedWriter::replace(target_, small.size());
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->write(bytes(small)));
    const auto s = w->commit();
    ASSERT_FALSE(s);
    EXPECT_EQ(error_message(s.error()), error_message(io_error_from_errno(ENOSPC)));
    EXPECT_EQ(read_text(target_), "old");
    expect_same_file();
    EXPECT_TRUE(others().empty());
}

// The length a failed reservation added is taken back even when signals
// interrupt the taking back.
TEST_P(InPlaceFaultTest, InterruptedGiveBackStillLeavesTheOldLength) {
    fail_target(Call::Fallocate, ENOSPC, 0, 1, true);
    fail_target(Call::Ftruncate, EINTR, 0, 2);
    const auto s = save_new();
    ASSERT_FALSE(s);
    EXPECT_EQ(error_message(s.error()), error_message(io_error_from_errno(ENOSPC)));
    EXPECT_EQ(read_text(target_), old_);
    expect_same_file();
    EXPECT_TRUE(others().empty());
}

TEST_P(InPlaceFaultTest, WriterDroppedAfterTheReservationLeavesTheOldFile) {
    {
        auto w = BufferedWriter::replace(target_, new_.size());
        ASSERT_TRUE(w);
        ASSERT_TRUE(w->write(bytes("short")));  // buffered only
    }
    EXPECT_EQ(read_text(target_), old_);
    expect_same_file();
    EXPECT_TRUE(others().empty());
}

// Failing once old bytes are overwritten: through a temporary, the temporary
// is kept whole and named; without one, the error says the file is partial.
TEST_P(InPlaceFaultTest, FailureAfterOverwritingKeepsOrNamesTheLoss) {
    for (Call call : {Call::Write, Call::Ftruncate, Call::Fsync}) {
        SCOPED_TRACE(static_cast<int>(call));
        start();
        fail_target(call, EIO, call == Call::Write ? 1 : 0);
        const auto s = save_new();
        ASSERT_FALSE(s);
        const std::string message = error_message(s.error());
        const std::string io = "I/O error: Input/output error (os error 5); ";
        if (GetParam() == Route::RenameRefused) {
            ASSERT_EQ(others().size(), 1u);
            const std::string kept = (dir_ / *others().begin()).string();
            EXPECT_EQ(message, io + "the new file is kept whole at " + kept);
            EXPECT_EQ(read_text(kept), new_);
            fs::remove(kept);
        } else {
            EXPECT_EQ(message, io + "the file was left part written");
            EXPECT_TRUE(others().empty());
        }
        expect_same_file();
    }
}

// A signal while old bytes are overwritten (a call failing with EINTR, or a
// write cut short): the calls go on, and the check runs once, when the file
// is whole, and may still fail the call.
TEST_P(InPlaceFaultTest, SignalDuringTheWriteIsAnsweredOnceTheFileIsWhole) {
    struct Case {
        Call call;
        int err;
        bool partly;
    };
    for (const Case& c : {Case{Call::Write, EINTR, false}, Case{Call::Write, 0, true},
                          Case{Call::Ftruncate, EINTR, false}, Case{Call::Fsync, EINTR, false}}) {
        SCOPED_TRACE(static_cast<int>(c.call));
        start();
        fail_target(c.call, c.err, c.call == Call::Write ? 1 : 0, 3, c.partly);
        const auto s = save_new(Probe::stop);
        ASSERT_FALSE(s);
        EXPECT_TRUE(std::holds_alternative<Interrupted>(s.error()));
        EXPECT_EQ(Probe::calls, 1);
        EXPECT_EQ(Probe::seen, new_);
        EXPECT_EQ(read_text(target_), new_);
        expect_same_file();
        EXPECT_TRUE(others().empty());
    }
}

// Before any old byte changes a signal may still stop the save.
TEST_P(InPlaceFaultTest, SignalDuringTheReservationStopsWithTheOldFile) {
    fail_target(Call::Fallocate, EINTR, 0, 1, true);
    const auto s = save_new(Probe::stop);
    ASSERT_FALSE(s);
    EXPECT_TRUE(std::holds_alternative<Interrupted>(s.error()));
    EXPECT_EQ(Probe::calls, 1);
    EXPECT_EQ(read_text(target_), old_);
    expect_same_file();
    EXPECT_TRUE(others().empty());
}

// A signal while the temporary is synced or renamed: the call is made again
// when the check allows it; a check that stops the save leaves the old file.
TEST_F(ReplaceTest, SignalDuringTheTemporarysSyncOrRenameIsAskedAbout) {
    const std::string target = path("a.idx");
    for (Call call : {Call::Fsync, Call::Renameat}) {
        for (bool go_on : {true, false}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(call)) + (go_on ? " go on" : " stop"));
            write_text(target, "old");
            FaultyCalls faulty;
            faults = {Fault{call, EINTR, 0, 2}};
            auto w = BufferedWriter::replace(target, 3, go_on ? +[] { return true; } : +[] { return false; });
            ASSERT_TRUE(w);
            ASSERT_TRUE(w->write(bytes("new")));
            const auto s = w->commit();
            EXPECT_EQ(bool(s), go_on);
            if (!go_on) {
                EXPECT_TRUE(std::holds_alternative<Interrupted>(s.error()));
            }
            EXPECT_EQ(read_text(target), go_on ? "new" : "old");
            EXPECT_EQ(listing(), std::set<std::string>{"a.idx"});
        }
    }
}

// The temporary is never more open than the file it replaces, not even
// before it is given that file's bits.
TEST_F(ReplaceTest, TemporaryIsMadeNoMoreOpenThanTheOldFile) {
    static mode_t made = 0;
    FileCalls recording = system_file_calls();
    recording.openat = [](int d, const char* name, int flags, mode_t mode) {
        if ((flags & O_CREAT) != 0) made = mode;
        return system_file_calls().openat(d, name, flags, mode);
    };
    const std::string target = path("a.idx");
    write_text(target, "old");
    ::chmod(target.c_str(), 0600);
    file_calls() = recording;
    const auto s = save(target, "new");
    file_calls() = system_file_calls();
    ASSERT_TRUE(s);
    EXPECT_EQ(made, 0600u);
    EXPECT_EQ(mode_of(target), 0600u);
    EXPECT_EQ(read_text(target), "new");
}

// Sets or clears a directory's append-only flag; false where its file system
// or the caller's rights allow no such flag.
bool set_append_only(const fs::path& dir, bool on) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

// An append-only directory takes new names but lets none be renamed or
// removed: an existing file is written in place, a new one made directly,
// and no temporary is left behind.
TEST_F(ReplaceTest, AppendOnlyDirectoryGetsNoTemporary) {
    const std::string old_file = path("a.idx");
    write_text(old_file, "old contents");
    struct stat before {};
    ::stat(old_file.c_str(), &before);
    if (!set_append_only(dir_, true)) GTEST_SKIP() << "no append-only directories here (needs root and ext4 or alike)";
    const auto over = save(old_file, "new");
    const auto fresh = save(path("b.idx"), "fresh");
    const auto names = listing();
    ASSERT_TRUE(set_append_only(dir_, false));
    ASSERT_TRUE(over) << error_message(over.error());
    ASSERT_TRUE(fresh) << error_message(fresh.error());
    EXPECT_EQ(read_text(old_file), "new");
    EXPECT_EQ(read_text(path("b.idx")), "fresh");
    struct stat after {};
    ::stat(old_file.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(names, (std::set<std::string>{"a.idx", "b.idx"}));
}

// Only a directory's refusal of the temporary or the rename sends a save in
// place; any other failure of either is reported as it is, the old file left
// alone.
TEST_F(ReplaceTest, OnlyRefusalsOfTheDirectorySendASaveInPlace) {
    const std::string target = path("a.idx");
    struct Case {
        Call call;
        int err;
        bool in_place;
    };
    FaultyCalls faulty;
    for (const Case& c : {Case{Call::Openat, EACCES, true}, Case{Call::Openat, EPERM, true},
                          Case{Call::Openat, ENOENT, true}, Case{Call::Openat, EROFS, true},
                          Case{Call::Renameat, EBUSY, true}, Case{Call::Renameat, EPERM, true},
                          Case{Call::Renameat, EACCES, true}, Case{Call::Openat, EINVAL, false},
                          Case{Call::Openat, ENOSPC, false}, Case{Call::Openat, ENAMETOOLONG, false},
                          Case{Call::Renameat, EIO, false}, Case{Call::Renameat, EXDEV, false},
                          Case{Call::Renameat, ENOSPC, false}}) {
        SCOPED_TRACE(std::string(c.call == Call::Openat ? "temporary: " : "rename: ") + std::strerror(c.err));
        write_text(target, "old index");
        struct stat before {};
        ::stat(target.c_str(), &before);
        faults = {Fault{c.call, c.err, 0, -1}};
        const auto s = save(target, "new index, longer");
        struct stat after {};
        ::stat(target.c_str(), &after);
        if (c.in_place) {
            EXPECT_TRUE(s);
            EXPECT_EQ(read_text(target), "new index, longer");
            EXPECT_EQ(after.st_ino, before.st_ino);
        } else {
            ASSERT_FALSE(s);
            EXPECT_EQ(error_message(s.error()), error_message(io_error_from_errno(c.err)));
            EXPECT_EQ(read_text(target), "old index");
        }
        EXPECT_EQ(listing(), std::set<std::string>{"a.idx"});
    }
}
