// The driver's saved state: small files in $XDG_STATE_HOME/korvane (by default
// ~/.local/state/korvane), a directory of the user's own that nobody else may enter (0700). Files
// are 0600, read without following a symbolic link and only up to a size cap, and replaced whole
// (a temporary file renamed over the old one), so a reader never sees half a file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace korvane::driver {

class StateDirectory {
public:
    // $XDG_STATE_HOME/korvane when XDG_STATE_HOME is an absolute path, else $HOME/.local/state/korvane.
    static std::filesystem::path userPath();

    explicit StateDirectory(std::filesystem::path path) : path_(std::move(path)) {}
    const std::filesystem::path& path() const { return path_; }

    struct Read {
        enum class Outcome { absent, read, unusable } outcome = Outcome::absent;
        std::string text;     // read: the whole file
        std::string problem;  // unusable: why, as a sentence
    };
    // The file `name` of the directory. A symbolic link, anything but a regular file of the
    // user's, or a file larger than `maxBytes` is unusable; so is a directory that is not the
    // user's own.
    Read read(const char* name, std::size_t maxBytes) const;

    // Replaces `name` with `text` (0600). Creates the directory (0700) and its parents as needed.
    // Returns an empty string, or the sentence that says why the file was not written.
    std::string write(const char* name, const std::string& text) const;

    // Renames an unusable `name` to `name`.bad, so that a person can still look at it and the next
    // save does not fail on it. Returns the sentence that says what became of it.
    std::string setAside(const char* name) const;

private:
    // The directory opened without following a link, accepted only when it is the user's own;
    // made private when it is not yet. -1 with `error` set, or (when `create` is false and it is
    // missing) -1 with `error` empty.
    int open(bool create, std::string& error) const;

    std::filesystem::path path_;
};

}  // namespace korvane::driver
