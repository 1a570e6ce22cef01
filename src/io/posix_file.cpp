#include "io/posix_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace korvane {

Status check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) return fail(Io{"path contains a NUL byte"});
    return {};
}

BufferedReader::BufferedReader(int fd, std::uint64_t file_size)
    : fd_(fd), file_size_(file_size), buf_(new std::uint8_t[kIoBufferSize]) {}

BufferedReader::BufferedReader(BufferedReader&& other) noexcept
    : fd_(other.fd_),
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

Result<BufferedReader> BufferedReader::open(const std::string& path) {
    if (auto s = check_path(path); !s) return fail(s.error());
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(io_error_from_errno(errno));
    struct stat st {};
    std::uint64_t size = std::numeric_limits<std::uint64_t>::max();
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<std::uint64_t>(st.st_size);
    return BufferedReader(fd, size);
}

std::uint64_t BufferedReader::remaining() const {
    if (file_size_ == std::numeric_limits<std::uint64_t>::max()) return file_size_;
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
    BufferedReader other(fd, file_size_);
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
            if (errno == EINTR) continue;
            return fail(io_error_from_errno(errno));
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

BufferedWriter::BufferedWriter(int fd) : fd_(fd), buf_(new std::uint8_t[kIoBufferSize]) {}

BufferedWriter::BufferedWriter(BufferedWriter&& other) noexcept
    : fd_(other.fd_), buf_(std::move(other.buf_)), used_(other.used_) {
    other.fd_ = -1;
}

BufferedWriter::~BufferedWriter() {
    if (fd_ >= 0) {
        (void)flush();
        ::close(fd_);
    }
}

Result<BufferedWriter> BufferedWriter::create(const std::string& path) {
    if (auto s = check_path(path); !s) return fail(s.error());
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(io_error_from_errno(errno));
    return BufferedWriter(fd);
}

Status BufferedWriter::write(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t len = bytes.size();
    if (len > kIoBufferSize - used_) {
        if (auto s = flush(); !s) return s;
    }
    if (len >= kIoBufferSize) return write_all(data, len);
    std::memcpy(buf_.get() + used_, data, len);
    used_ += len;
    return {};
}

Status BufferedWriter::flush() {
    if (used_ == 0) return {};
    std::size_t written = 0;
    auto s = write_all(buf_.get(), used_, &written);
    std::memmove(buf_.get(), buf_.get() + written, used_ - written);
    used_ -= written;
    return s;
}

Status BufferedWriter::close() {
    auto s = flush();
    const int fd = fd_;
    fd_ = -1;
    if (!s) {
        ::close(fd);
        return s;
    }
    if (::close(fd) != 0) return fail(io_error_from_errno(errno));
    return {};
}

Status BufferedWriter::write_all(const std::uint8_t* data, std::size_t len, std::size_t* written) {
    if (written != nullptr) *written = 0;
    while (len > 0) {
        const ssize_t w = ::write(fd_, data, len);
        if (w < 0) {
            if (errno == EINTR) continue;
            return fail(io_error_from_errno(errno));
        }
        if (w == 0) return fail(Io{"failed to write whole buffer"});
        data += w;
        len -= static_cast<std::size_t>(w);
        if (written != nullptr) *written += static_cast<std::size_t>(w);
    }
    return {};
}

}  // namespace korvane
