// Per-user lock files across processes: one holder at a time of a name, in a directory that only
// the user can write, so that nobody else can create a lock file first and block the user.
#pragma once

#include <string>
#include <system_error>

namespace platform {

// The per-user temporary directory: $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp.
std::string temporaryDirectory();

// The directory of the locks: the temporary directory itself when it belongs to the real user
// and nobody else may write in it; otherwise (a shared /tmp) its subdirectory "korvane-<uid>",
// created 0700 and accepted only as a real directory (not a link) of the real user that nobody
// else can enter. Returns an open descriptor of it (close-on-exec), or -1 with `error` set.
int openLockDirectory(std::error_code& error);

// An exclusive, non-blocking flock on the file `name` in the lock directory, opened (created
// 0600 when missing) without following a symbolic link and accepted only as a regular file of the
// real user. The file itself is never removed; only the lock on it means anything.
class LockFile {
public:
    enum class Outcome { acquired, held, failed };  // held: another process has it

    LockFile() = default;
    static LockFile acquire(const char* name, std::error_code& error, Outcome& outcome);
    ~LockFile() { release(); }
    LockFile(LockFile&& other) noexcept : fd_(other.take()) {}
    LockFile& operator=(LockFile&& other) noexcept;

    bool held() const { return fd_ >= 0; }
    // Hands the descriptor to the caller (who then releases it with releaseLock); -1 when none.
    int take();
    void release();

private:
    explicit LockFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Releases the lock and closes the descriptor; -1 does nothing.
void releaseLock(int descriptor);

}  // namespace platform
