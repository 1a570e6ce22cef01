// Buffered POSIX file I/O: an 8 KiB buffer in front of a file descriptor, for
// reading and for writing. Errors come back as Io values, never as exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <sys/types.h>

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

// The system calls through which files are opened and written, in one table
// so that tests can make any of them fail at a chosen point. Each returns and
// sets errno as the call of its name does.
struct FileCalls {
    int (*openat)(int dir_fd, const char* name, int flags, mode_t mode);
    ssize_t (*read)(int fd, void* data, std::size_t len);
    ssize_t (*write)(int fd, const void* data, std::size_t len);
    int (*fallocate)(int fd, int mode, off_t offset, off_t len);
    int (*ftruncate)(int fd, off_t len);
    int (*fsync)(int fd);
    int (*renameat)(int from_dir, const char* from, int to_dir, const char* to);
};
// The table in use; tests replace entries and put system_file_calls() back.
FileCalls& file_calls();
const FileCalls& system_file_calls();

// Write side: an 8 KiB buffer in front of a file descriptor. Writes at least
// as large as the buffer go straight to the file once the buffer is empty.
class BufferedWriter {
public:
    // Creates `path`, or truncates it when it exists; commit() closes it.
    static Result<BufferedWriter> create(const std::string& path, InterruptCheck check = nullptr);
    // Writes `size` bytes so that an existing file at `path` stays whole
    // until the new one is. Only `size` bytes are reserved where the file is
    // written in place (more may run out of room part way; fewer are fine,
    // the file is cut to what was written). Normally they go to a new
    // temporary beside `path`, which commit() syncs and renames over it.
    // Through a symbolic link the file the link names is replaced and the
    // link kept. An existing file's permission bits carry over; a new file
    // gets 0666 less the umask, as with create(). The temporary is named
    // relative to the directory, so any path create() takes is taken here.
    //
    // Where the directory refuses the temporary or the rename (a directory
    // that takes no new file, an append-only one that lets none be renamed,
    // another user's file in a sticky directory, a file bind-mounted into
    // place) an existing regular file is written in place instead: opened
    // without being created or cut, its new length reserved before any old
    // byte changes, then overwritten, cut to length and synced. A refused
    // reservation (a full disk, a quota, a size limit, a file system that
    // reserves nothing) fails the save with the old file as it was. Once old
    // bytes are overwritten a signal no longer stops the write: the check runs
    // after the file is whole. A refused rename copies the finished temporary
    // in, and the temporary is removed only once the file holds all of it;
    // should the copy fail after all, the temporary is kept and its path ends
    // the error's text. A path that exists but is not a regular file is
    // written as by create().
    static Result<BufferedWriter> replace(const std::string& path, std::uint64_t size,
                                          InterruptCheck check = nullptr);

    BufferedWriter(BufferedWriter&& other) noexcept;
    BufferedWriter& operator=(BufferedWriter&&) = delete;
    // Not committed: a temporary is closed and removed; a file being written
    // in place gets its old length back if no old byte was overwritten yet;
    // a created file gets one last attempt for what is still buffered (none
    // after an interruption), its failure ignored because an error has
    // already been reported on this path.
    ~BufferedWriter();

    Status write(std::span<const std::uint8_t> data);
    // On failure the bytes not yet written stay buffered.
    Status flush();
    // Flushes and closes. A temporary is first synced and then renamed over
    // (or copied into) its target; a file written in place is cut to its new
    // length and synced. On failure a temporary is removed and the target
    // left as it was, but for an in-place write that failed part way, which
    // keeps the temporary or says the file was left part written (see
    // replace()).
    Status commit();

private:
    enum class Mode { Create, Temporary, InPlace };
    BufferedWriter(Mode mode, int fd, InterruptCheck check);
    static Result<BufferedWriter> in_place(int dir_fd, const std::string& name, std::uint64_t size,
                                           InterruptCheck check);
    Status reserve(std::uint64_t size);
    void restore_length() noexcept;
    Status flush_buffer();
    Status noted(Status s) const;
    Status finish_in_place();
    Status run_deferred_check();
    Status write_all(const std::uint8_t* data, std::size_t len, std::size_t* written = nullptr);
    Status copy_into_place();
    void discard_temp() noexcept;

    Mode mode_;
    int fd_ = -1;
    InterruptCheck check_ = nullptr;
    bool interrupted_ = false;  // a call given up: no last flush from the destructor
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;  // bytes the file has taken
    // In place: the length before the reservation, whether an old byte may
    // have been overwritten, and whether a signal came after that.
    std::optional<std::uint64_t> old_size_;  // unknown: no length is given back
    bool touched_ = false;
    bool deferred_ = false;
    // A temporary: the directory (an O_PATH descriptor), the temporary's and
    // the target's names in it, and the temporary's path for messages.
    int dir_fd_ = -1;
    std::string temp_name_;
    std::string target_name_;
    std::string temp_path_;
};

}  // namespace korvane
