// Buffered POSIX file I/O: an 8 KiB buffer in front of a file descriptor, for
// reading and for writing. Errors come back as Io values, never as exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "codec/error.hpp"

namespace korvane {

inline constexpr std::size_t kIoBufferSize = 8192;

// Asked when a system call returns EINTR: true tries the call again, false
// gives it up with Interrupted. A null check always tries again. The Python
// binding runs the interpreter's signal handlers here.
using InterruptCheck = bool (*)();

// Io "path contains a NUL byte" for such a path, before any file is touched.
Status check_path(const std::string& path);

// An open file read through an 8 KiB buffer.
class BufferedReader {
public:
    static Result<BufferedReader> open(const std::string& path, InterruptCheck check = nullptr);
    BufferedReader(BufferedReader&& other) noexcept;
    BufferedReader& operator=(BufferedReader&&) = delete;
    ~BufferedReader();

    // Reads exactly out.size() bytes, or returns Io ("failed to fill whole
    // buffer" when the file ends first).
    Status read_exact(std::span<std::uint8_t> out);
    // Bytes between the read position and the end of the file as it is now
    // (not a regular file: unknown, the largest value).
    std::uint64_t remaining() const;
    // Whether the file is a regular file, whose length is known.
    bool sized() const;
    // A second reader of the same regular file, starting `skip` bytes past
    // this one's position, with a read position of its own and the same check.
    Result<BufferedReader> fork(std::uint64_t skip) const;

private:
    BufferedReader(int fd, std::uint64_t file_size, InterruptCheck check);
    int fd_ = -1;
    InterruptCheck check_ = nullptr;
    bool positional_ = false;     // reads at file_pos_ (pread) rather than at the descriptor's offset
    std::uint64_t file_pos_ = 0;  // bytes taken from the file so far
    std::uint64_t file_size_ = 0;
    std::uint64_t consumed_ = 0;  // bytes handed out so far
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

// Write side: an 8 KiB buffer in front of a file descriptor. Writes at least
// as large as the buffer go straight to the file once the buffer is empty.
class BufferedWriter {
public:
    // Creates `path`, or truncates it when it exists; commit() closes it.
    static Result<BufferedWriter> create(const std::string& path, InterruptCheck check = nullptr);
    // Writes to a new temporary file beside `path`; commit() syncs it and
    // renames it over `path`, so the file there is either the old one or the
    // new one, never a part. Through a symbolic link the file the link names
    // is replaced and the link kept. An existing file's permission bits carry
    // over; a new file gets 0666 less the umask, as with create(). The
    // temporary is named relative to the directory, so any path create()
    // takes is taken here too.
    //
    // Where replacing is refused but writing in place is not, the file is
    // written in place as by create(): a path that exists but is not a
    // regular file, a directory that takes no new file, and a rename the
    // directory refuses (another user's file in a sticky directory), where
    // commit() copies the finished temporary into the file. Errors are those
    // of the path given: an existing file that may not be written is refused
    // as create() would refuse it.
    static Result<BufferedWriter> replace(const std::string& path, InterruptCheck check = nullptr);

    BufferedWriter(BufferedWriter&& other) noexcept;
    BufferedWriter& operator=(BufferedWriter&&) = delete;
    // Not committed: a temporary is closed and removed; a file written in
    // place gets one last attempt for what is still buffered (none after an
    // interruption), its failure ignored because an error has already been
    // reported on this path.
    ~BufferedWriter();

    Status write(std::span<const std::uint8_t> data);
    // On failure the bytes not yet written stay buffered.
    Status flush();
    // Flushes and closes; a temporary is first synced to disk and then
    // renamed over its target. On failure a temporary is removed and the
    // target left as it was (unless it was being copied in place).
    Status commit();

private:
    BufferedWriter(int fd, InterruptCheck check);
    Status write_all(const std::uint8_t* data, std::size_t len, std::size_t* written = nullptr);
    Status copy_into_place();
    void discard_temp() noexcept;

    int fd_ = -1;
    InterruptCheck check_ = nullptr;
    bool interrupted_ = false;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t used_ = 0;
    // Writing a temporary: the directory (an O_PATH descriptor), and the
    // temporary's and the target's names in it. Empty names: in place.
    int dir_fd_ = -1;
    std::string temp_name_;
    std::string target_name_;
};

}  // namespace korvane
