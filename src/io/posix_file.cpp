#include "io/posix_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <ctime>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace korvane {

Status check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) return fail(Io{"path contains a NUL byte"});
    return {};
}

namespace {

// After EINTR: whether to make the call again.
bool again(InterruptCheck check) { return check == nullptr || check(); }

int system_openat(int dir_fd, const char* name, int flags, mode_t mode) { return ::openat(dir_fd, name, flags, mode); }

constexpr FileCalls kSystemCalls{system_openat, ::read, ::write, ::fallocate, ::ftruncate, ::fsync, ::renameat};
FileCalls calls = kSystemCalls;

// open(2) made again after EINTR while the check allows; given up, it fails
// with errno EINTR.
int open_at(int dir_fd, const std::string& path, int flags, InterruptCheck check, mode_t mode = 0) {
    for (;;) {
        const int fd = calls.openat(dir_fd, path.c_str(), flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
        if (!again(check)) {
            errno = EINTR;
            return -1;
        }
    }
}

// The error for a failed call's errno: EINTR is only seen once the check has
// given the call up.
SpectralError os_error(int err) { return err == EINTR ? SpectralError(Interrupted{}) : io_error_from_errno(err); }

// `call` (0 on success) made again after EINTR for as long as `go_on()`
// says so: 0, or the errno it failed with (EINTR once go_on gave it up).
template <class Call, class GoOn>
int made_again(Call call, GoOn go_on) {
    while (call() != 0) {
        const int err = errno;
        if (err != EINTR || !go_on()) return err;
    }
    return 0;
}

}  // namespace

FileCalls& file_calls() { return calls; }
const FileCalls& system_file_calls() { return kSystemCalls; }

BufferedReader::BufferedReader(int fd, std::uint64_t file_size, InterruptCheck check)
    : fd_(fd), check_(check), file_size_(file_size), buf_(new std::uint8_t[kIoBufferSize]) {}

BufferedReader::BufferedReader(BufferedReader&& other) noexcept
    : fd_(other.fd_),
      check_(other.check_),
      positional_(other.positional_),
      file_pos_(other.file_pos_),
      file_size_(other.file_size_),
      consumed_(other.consumed_),
      buf_(std::move(other.buf_)),
      pos_(other.pos_),
      end_(other.end_) {
    other.fd_ = -1;
}

BufferedReader::~BufferedReader() {
    if (fd_ >= 0) ::close(fd_);
}

Result<BufferedReader> BufferedReader::open(const std::string& path, InterruptCheck check) {
    if (auto s = check_path(path); !s) return fail(s.error());
    const int fd = open_at(AT_FDCWD, path, O_RDONLY | O_CLOEXEC, check);
    if (fd < 0) return fail(os_error(errno));
    struct stat st {};
    std::uint64_t size = std::numeric_limits<std::uint64_t>::max();
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<std::uint64_t>(st.st_size);
    return BufferedReader(fd, size, check);
}

std::uint64_t BufferedReader::remaining() const {
    if (!sized()) return file_size_;
    // The size now, not at opening: a file cut meanwhile must not pass.
    struct stat st {};
    const std::uint64_t size = ::fstat(fd_, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : file_size_;
    return size > consumed_ ? size - consumed_ : 0;
}

bool BufferedReader::sized() const { return file_size_ != std::numeric_limits<std::uint64_t>::max(); }

Result<BufferedReader> BufferedReader::fork(std::uint64_t skip) const {
    if (!sized()) return fail(Io{"a second reader needs a regular file"});
    const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(io_error_from_errno(errno));
    BufferedReader other(fd, file_size_, check_);
    other.positional_ = true;
    other.consumed_ = consumed_ + skip;
    other.file_pos_ = other.consumed_;
    return other;
}

Status BufferedReader::read_exact(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        if (pos_ < end_) {
            const std::size_t take = std::min(end_ - pos_, out.size() - done);
            std::memcpy(out.data() + done, buf_.get() + pos_, take);
            pos_ += take;
            done += take;
            continue;
        }
        // Buffer empty: large requests read straight into the destination.
        const std::size_t want = out.size() - done;
        std::uint8_t* dst = want >= kIoBufferSize ? out.data() + done : buf_.get();
        const std::size_t cap = want >= kIoBufferSize ? want : kIoBufferSize;
        const ssize_t r = positional_ ? ::pread(fd_, dst, cap, static_cast<off_t>(file_pos_)) : ::read(fd_, dst, cap);
        if (r < 0) {
            const int err = errno;  // before the check, which may run code that sets it
            if (err == EINTR && again(check_)) continue;
            return fail(os_error(err));
        }
        file_pos_ += static_cast<std::uint64_t>(r);
        if (r == 0) return fail(io_short_read());
        if (dst == buf_.get()) {
            pos_ = 0;
            end_ = static_cast<std::size_t>(r);
        } else {
            done += static_cast<std::size_t>(r);
        }
    }
    consumed_ += out.size();
    return {};
}

namespace {

// Everything up to and including the last '/', or "" for a bare name.
std::string dir_part(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// `path` with symbolic links in its last component followed, each relative
// link taken from the directory holding it. The chain may end at a name that
// does not exist yet (a dangling link names the file to create).
Result<std::string> follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string link(PATH_MAX, '\0');
        const ssize_t len = ::readlink(path.c_str(), link.data(), link.size());
        if (len < 0) return fail(io_error_from_errno(errno));
        link.resize(static_cast<std::size_t>(len));
        path = !link.empty() && link[0] == '/' ? link : dir_part(path) + link;
    }
    return fail(io_error_from_errno(ELOOP));
}

// A hidden name beside `target` (a name in the same directory) that no other
// writer picks: the process id, a per-process counter and the clock. At most
// `name_max` characters when that leaves room for any of the target's name.
std::string temp_name(const std::string& target, long name_max) {
    static std::atomic<std::uint64_t> counter{0};
    constexpr long kFixed = 22;  // the dots, the hex digits and ".tmp"
    const long room = std::clamp<long>(name_max - kFixed, 0, 200);
    const std::string base = target.substr(0, static_cast<std::size_t>(room));
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const std::uint64_t mix = (static_cast<std::uint64_t>(::getpid()) << 40) ^
                              (counter.fetch_add(1, std::memory_order_relaxed) << 20) ^
                              static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(mix));
    return "." + base + "." + hex + ".tmp";
}

// The errors with which a directory refuses a new name or a rename while the
// file already there may still be writable: after one of these an existing
// file is written in place (where the file itself is not writable either,
// opening it fails with its own error before anything changes). Every other
// error is the save's own, reported as it is, with the old file as it was.
bool directory_refused(int err) {
    switch (err) {
        case EACCES:  // no right to add a name to the directory (or a security module's no)
        case EPERM:   // a sticky directory and another user's file; an immutable directory
        case ENOENT:  // a directory whose file system makes no files (procfs, sysfs)
        case EROFS:   // a read-only directory, the file bind-mounted writable from elsewhere
        case EBUSY:   // the file is a mount point: a file bind-mounted into place
            return true;
        default:
            return false;
    }
}

// An append-only directory takes new names but lets none be renamed or
// removed: a temporary made there could never go.
bool append_only(int dir_fd) {
    struct statx sx {};
    return ::statx(dir_fd, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_APPEND) != 0 &&
           (sx.stx_attributes & STATX_ATTR_APPEND) != 0;
}

// Makes a rename in a directory durable. Best effort: the rename has already
// happened, so a failure here is not a failed save.
void sync_directory(int dir_fd) {
    const int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

// `err` with `note` after its text, when it is an Io.
SpectralError with_note(SpectralError err, const std::string& note) {
    if (auto* io = std::get_if<Io>(&err)) io->text += note;
    return err;
}

}  // namespace

BufferedWriter::BufferedWriter(Mode mode, int fd, InterruptCheck check)
    : mode_(mode), fd_(fd), check_(check), buf_(new std::uint8_t[kIoBufferSize]) {}

BufferedWriter::BufferedWriter(BufferedWriter&& other) noexcept
    : mode_(other.mode_),
      fd_(std::exchange(other.fd_, -1)),
      check_(other.check_),
      interrupted_(other.interrupted_),
      buf_(std::move(other.buf_)),
      used_(other.used_),
      written_(other.written_),
      old_size_(other.old_size_),
      touched_(other.touched_),
      deferred_(other.deferred_),
      dir_fd_(std::exchange(other.dir_fd_, -1)),
      temp_name_(std::exchange(other.temp_name_, {})),
      target_name_(std::move(other.target_name_)),
      temp_path_(std::move(other.temp_path_)) {}

BufferedWriter::~BufferedWriter() {
    switch (mode_) {
        case Mode::Temporary:
            discard_temp();
            break;
        case Mode::InPlace:
            if (fd_ >= 0) {
                if (!touched_) restore_length();
                ::close(fd_);
            }
            break;
        case Mode::Create:
            if (fd_ >= 0) {
                if (!interrupted_) (void)flush_buffer();
                ::close(fd_);
            }
            break;
    }
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

void BufferedWriter::discard_temp() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_name_.empty()) ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
    temp_name_.clear();
}

Result<BufferedWriter> BufferedWriter::create(const std::string& path, InterruptCheck check) {
    if (auto s = check_path(path); !s) return fail(s.error());
    const int fd = open_at(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, check, 0666);
    if (fd < 0) return fail(os_error(errno));
    return BufferedWriter(Mode::Create, fd, check);
}

Result<BufferedWriter> BufferedWriter::replace(const std::string& path, std::uint64_t size, InterruptCheck check) {
    if (auto s = check_path(path); !s) return fail(s.error());
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    // A device, a pipe or a directory is never renamed over; create() opens
    // it, or reports why it cannot.
    if (exists && !S_ISREG(st.st_mode)) return create(path, check);
    auto target = follow_links(path);
    if (!target) return fail(target.error());
    if (exists) {
        // A link the kernel resolves by itself (as under /proc) names no
        // directory entry that could be replaced.
        struct stat named {};
        if (::lstat(target->c_str(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino)
            return in_place(AT_FDCWD, path, size, check);
        // Renaming would succeed where opening for writing is refused.
        if (::faccessat(AT_FDCWD, target->c_str(), W_OK, AT_EACCESS) != 0) return fail(io_error_from_errno(errno));
    }

    // The temporary is named relative to the directory, so that its name
    // adds nothing to the length of the path. O_PATH: making a file in the
    // directory needs no right to read it.
    // Where no temporary can serve: an existing file is written in place; for
    // a new one, create() reports what the path itself meets.
    const auto without_temporary = [&] { return exists ? in_place(AT_FDCWD, path, size, check) : create(path, check); };
    const std::string dir = dir_part(*target);
    const int dir_fd = open_at(AT_FDCWD, dir.empty() ? "." : dir, O_PATH | O_DIRECTORY | O_CLOEXEC, check);
    if (dir_fd < 0) return fail(os_error(errno));
    if (append_only(dir_fd)) {
        ::close(dir_fd);
        return without_temporary();
    }
    BufferedWriter out(Mode::Temporary, -1, check);
    out.dir_fd_ = dir_fd;
    out.target_name_ = target->substr(dir.size());
    const long name_max = ::fpathconf(dir_fd, _PC_NAME_MAX);

    // O_EXCL under a fresh name. A new file's mode is 0666 less the umask,
    // exactly as create() would give it; in place of an existing file the
    // temporary is never more open than that file, not even until fchmod
    // gives it the file's own bits (a reader who opened it then would keep
    // reading what is written after).
    const mode_t mode = exists ? st.st_mode & 0777 : 0666;
    int fd = -1;
    std::string temp;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = temp_name(out.target_name_, name_max > 0 ? name_max : NAME_MAX);
        fd = open_at(dir_fd, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, check, mode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int err = errno;
        if (directory_refused(err)) return without_temporary();  // the directory takes no new file
        return fail(os_error(err));
    }
    out.fd_ = fd;
    out.temp_name_ = std::move(temp);
    out.temp_path_ = dir + out.temp_name_;
    if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) return fail(io_error_from_errno(errno));
    return out;
}

Result<BufferedWriter> BufferedWriter::in_place(int dir_fd, const std::string& name, std::uint64_t size,
                                                InterruptCheck check) {
    // Neither created nor cut: nothing of the file changes before its new
    // length is reserved. Opening without O_CREAT also keeps clear of the
    // kernel's guard on other users' files in sticky directories, which
    // refuses O_CREAT there even for a file open to all.
    const int fd = open_at(dir_fd, name, O_WRONLY | O_CLOEXEC, check);
    if (fd < 0) return fail(os_error(errno));
    BufferedWriter out(Mode::InPlace, fd, check);
    if (auto s = out.reserve(size); !s) return fail(s.error());
    return out;
}

// The blocks for all `size` bytes, taken before any old byte changes, so that
// a full disk, a quota or a size limit fails here with the old file whole.
// Only fallocate(2) is asked: a file system without it (some network and
// user-space file systems) fails the save rather than risk running out part
// way, since no emulation can tell whether the old file's blocks are all
// there to be overwritten. The old bytes are never touched here; the length
// the reservation adds is taken back on failure. A copy-on-write file system
// writes overwritten blocks anew, and can still run out of room for them.
Status BufferedWriter::reserve(std::uint64_t size) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return fail(io_error_from_errno(errno));
    old_size_ = static_cast<std::uint64_t>(st.st_size);
    if (size == 0) return {};
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return fail(io_error_from_errno(EFBIG));
    const auto fallocate = [&] { return calls.fallocate(fd_, 0, 0, static_cast<off_t>(size)); };
    if (const int err = made_again(fallocate, [&] { return again(check_); })) {
        restore_length();
        return fail(os_error(err));
    }
    return {};
}

void BufferedWriter::restore_length() noexcept {
    struct stat st {};
    if (!old_size_ || ::fstat(fd_, &st) != 0 || static_cast<std::uint64_t>(st.st_size) == *old_size_) return;
    // Made again after a signal too: a save that failed leaves the old length.
    (void)made_again([&] { return calls.ftruncate(fd_, static_cast<off_t>(*old_size_)); }, [] { return true; });
}

Status BufferedWriter::write(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t len = bytes.size();
    if (len > kIoBufferSize - used_) {
        if (auto s = flush_buffer(); !s) return noted(std::move(s));
    }
    if (len >= kIoBufferSize) return noted(write_all(data, len));
    std::memcpy(buf_.get() + used_, data, len);
    used_ += len;
    return {};
}

Status BufferedWriter::flush() { return noted(flush_buffer()); }

// A failure after old bytes were overwritten, with no temporary behind it,
// says so: the old file is gone.
Status BufferedWriter::noted(Status s) const {
    if (s || mode_ != Mode::InPlace || !touched_) return s;
    return fail(with_note(s.error(), "; the file was left part written"));
}

Status BufferedWriter::flush_buffer() {
    if (used_ == 0) return {};
    std::size_t written = 0;
    auto s = write_all(buf_.get(), used_, &written);
    std::memmove(buf_.get(), buf_.get() + written, used_ - written);
    used_ -= written;
    return s;
}

Status BufferedWriter::commit() {
    if (mode_ == Mode::InPlace) {
        if (auto s = finish_in_place(); !s) return noted(std::move(s));
        return run_deferred_check();
    }
    Status s = flush_buffer();
    const bool temp = mode_ == Mode::Temporary;
    if (!temp) {
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0 && s) s = fail(io_error_from_errno(errno));
        return s;
    }
    // Until the rename the target is untouched, so a signal may still stop
    // the save there.
    const auto go_on = [&] { return again(check_); };
    if (s) {
        if (const int err = made_again([&] { return calls.fsync(fd_); }, go_on)) s = fail(os_error(err));
    }
    const int fd = std::exchange(fd_, -1);
    // Synced: a close that a signal cut short has still closed the file.
    if (::close(fd) != 0 && s) {
        const int err = errno;
        if (err != EINTR) s = fail(io_error_from_errno(err));
        else if (!go_on()) s = fail(Interrupted{});
    }
    if (!s) {
        discard_temp();
        return s;
    }
    const int err =
        made_again([&] { return calls.renameat(dir_fd_, temp_name_.c_str(), dir_fd_, target_name_.c_str()); }, go_on);
    if (err != 0) {
        if (directory_refused(err)) return copy_into_place();
        discard_temp();
        return fail(os_error(err));
    }
    temp_name_.clear();
    sync_directory(dir_fd_);
    return {};
}

// The old bytes are overwritten: cut the file to its new length and make it
// durable, calls a signal interrupts being made again and the signal
// answered later.
Status BufferedWriter::finish_in_place() {
    const auto later = [this] {
        deferred_ = true;
        return true;
    };
    Status s = flush_buffer();
    // Nothing overwritten yet (the whole file sat in the buffer): the
    // descriptor closes below, so the old length is given back here.
    if (!s && !touched_) restore_length();
    if (s) {
        touched_ = true;
        if (const int err = made_again([&] { return calls.ftruncate(fd_, static_cast<off_t>(written_)); }, later))
            s = fail(io_error_from_errno(err));
    }
    if (s) {
        if (const int err = made_again([&] { return calls.fsync(fd_); }, later)) s = fail(io_error_from_errno(err));
    }
    // A close that EINTR cut short has still closed the descriptor.
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && s) {
        if (errno == EINTR) deferred_ = true;
        else s = fail(io_error_from_errno(errno));
    }
    return s;
}

// A signal that came while old bytes were overwritten is answered now that
// the file is whole: the check may still stop the call.
Status BufferedWriter::run_deferred_check() {
    if (deferred_ && !again(check_)) return fail(Interrupted{});
    return {};
}

// The rename was refused: the finished, synced temporary is copied over the
// file. One whole copy of the new file exists at every moment: the temporary
// goes only once the file holds all of it, synced, and is kept, its path
// given, when the copy fails after overwriting old bytes.
Status BufferedWriter::copy_into_place() {
    const int in = open_at(dir_fd_, temp_name_, O_RDONLY | O_CLOEXEC, check_);
    struct stat st {};
    if (in < 0 || ::fstat(in, &st) != 0) {
        const int err = errno;
        if (in >= 0) ::close(in);
        discard_temp();
        return fail(os_error(err));
    }
    auto opened = in_place(dir_fd_, target_name_, static_cast<std::uint64_t>(st.st_size), check_);
    if (!opened) {
        ::close(in);
        discard_temp();
        return fail(opened.error());
    }
    BufferedWriter& out = *opened;
    Status s;
    for (;;) {
        const ssize_t r = calls.read(in, buf_.get(), kIoBufferSize);
        if (r < 0) {
            if (errno == EINTR) {
                out.deferred_ = true;
                continue;
            }
            s = fail(io_error_from_errno(errno));
            break;
        }
        if (r == 0) break;
        if (s = out.write_all(buf_.get(), static_cast<std::size_t>(r)); !s) break;
    }
    ::close(in);
    if (s) s = out.finish_in_place();
    if (!s && out.touched_) {
        temp_name_.clear();  // now the only whole copy
        return fail(with_note(s.error(), "; the new file is kept whole at " + temp_path_));
    }
    discard_temp();
    if (!s) return s;
    return out.run_deferred_check();
}

Status BufferedWriter::write_all(const std::uint8_t* data, std::size_t len, std::size_t* written) {
    if (written != nullptr) *written = 0;
    // In place, old bytes change from the first write on: the write then runs
    // to its end, a signal's check waiting until the file is whole.
    const bool in_place = mode_ == Mode::InPlace;
    while (len > 0) {
        const ssize_t w = calls.write(fd_, data, len);
        if (w < 0) {
            const int err = errno;
            if (err == EINTR) {
                if (in_place) {
                    deferred_ = true;
                    continue;
                }
                if (again(check_)) continue;
                // No last flush from the destructor: it would block again.
                interrupted_ = true;
            }
            return fail(os_error(err));
        }
        if (w == 0) return fail(Io{"failed to write whole buffer"});
        touched_ = touched_ || in_place;
        data += w;
        len -= static_cast<std::size_t>(w);
        written_ += static_cast<std::uint64_t>(w);
        if (written != nullptr) *written += static_cast<std::size_t>(w);
        // A signal can cut a write short without EINTR (a pipe that took part
        // of it): the check runs before the next write, which may block.
        if (len > 0 && check_ != nullptr) {
            if (in_place) {
                deferred_ = true;
            } else if (!check_()) {
                interrupted_ = true;
                return fail(Interrupted{});
            }
        }
    }
    return {};
}

}  // namespace korvane
