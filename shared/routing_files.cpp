#include "shared/routing_files.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace {

class Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "RoutingFiles"; }
    std::string message(int code) const override {
        switch (RoutingFilesError(code)) {
        case RoutingFilesError::invalidFileName:
            return "The file name is not one of the exchange files.";
        case RoutingFilesError::recordTooLarge:
            return "The record is larger than 65,536 bytes.";
        }
        return "Unknown exchange file error.";
    }
};

}  // namespace

const std::error_category& routingFilesCategory() {
    static const Category category;
    return category;
}

std::error_code make_error_code(RoutingFilesError error) { return {int(error), routingFilesCategory()}; }

}  // namespace korvane

namespace korvane::RoutingFiles {

namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

bool isAllowedName(std::string_view name) { return name == kChoiceFileName || name == kReportFileName; }

std::error_code lastError() { return {errno, std::generic_category()}; }

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

// mkdir -p, each created component 0700.
std::error_code createDirectories(const std::filesystem::path& path) {
    std::filesystem::path partial;
    for (const auto& component : path) {
        partial /= component;
        if (::mkdir(partial.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return lastError();
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return lastError();
    if (!S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::not_a_directory);
    return {};
}

std::error_code writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return lastError();
        bytes.remove_prefix(std::size_t(n));
    }
    return {};
}

// Writes through a temporary file so that a reader sees the old file or the new one, never a
// partial one. The mode is set on the open descriptor before the data and the rename: the file is
// never readable by others, and nothing is ever changed by path, where a link put in the target's
// place would be followed.
std::error_code replaceAtomically(const std::filesystem::path& target, std::string_view bytes) {
    std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return lastError();
    std::error_code error;
    if (::fchmod(fd, kFileMode) != 0) error = lastError();
    if (!error) error = writeAll(fd, bytes);
    if (!error && ::fsync(fd) != 0) error = lastError();
    if (::close(fd) != 0 && !error) error = lastError();
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) error = lastError();
    if (error) ::unlink(temporary.c_str());
    return error;
}

template <class Record>
std::error_code writeRecord(const Record& record, std::string_view name) {
    if (!isAllowedName(name)) return RoutingFilesError::invalidFileName;
    std::string bytes;
    if (const auto error = encode(record, bytes)) return error;
    if (bytes.size() > kMaximumRecordBytes) return RoutingFilesError::recordTooLarge;
    const auto folder = directory();
    if (const auto error = createDirectories(folder)) return error;
    const auto target = folder / name;
    return replaceAtomically(target, bytes);
}

}  // namespace

std::filesystem::path directory() {
    std::filesystem::path base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        base = data;
    else
        base = homeDirectory() / ".local" / "share";
    return base / "RAVLIN";
}

std::error_code write(const RoutingChoice& choice, std::string_view name) { return writeRecord(choice, name); }
std::error_code write(const RoutingReport& report, std::string_view name) { return writeRecord(report, name); }

std::optional<std::string> readBytes(std::string_view name) {
    if (!isAllowedName(name)) return std::nullopt;
    const auto path = directory() / name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> result;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= off_t(kMaximumRecordBytes)) {
        // One byte more than allowed tells a file that grew since fstat from one that fits.
        std::string bytes(kMaximumRecordBytes + 1, '\0');
        std::size_t filled = 0;
        bool failed = false;
        while (filled < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failed = true;
            if (n <= 0) break;
            filled += std::size_t(n);
        }
        if (!failed && filled <= kMaximumRecordBytes) {
            bytes.resize(filled);
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

std::optional<RoutingChoice> readChoice(std::string_view name) {
    const auto bytes = readBytes(name);
    return bytes ? decodeChoice(*bytes) : std::nullopt;
}

std::optional<RoutingReport> readReport(std::string_view name) {
    const auto bytes = readBytes(name);
    return bytes ? decodeReport(*bytes) : std::nullopt;
}

}  // namespace korvane::RoutingFiles
