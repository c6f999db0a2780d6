#include "platform/bundle.h"

#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <system_error>

namespace platform::bundle {

namespace fs = std::filesystem;

std::optional<fs::path> bundleOfExecutable(const fs::path& executable) {
    const fs::path macOS = executable.parent_path();
    const fs::path contents = macOS.parent_path();
    const fs::path bundle = contents.parent_path();
    if (!executable.has_filename() || macOS.filename() != "MacOS" || contents.filename() != "Contents") {
        return std::nullopt;
    }
    // ".app" alone is a hidden name without extension, not a bundle.
    if (bundle.extension() != ".app") return std::nullopt;
    return bundle;
}

std::optional<std::string> readSmallFile(const fs::path& path, std::size_t maximumBytes) {
    // O_NONBLOCK: a FIFO planted in place of the file must not hang the reader.
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (info.st_size < 0 || std::size_t(info.st_size) > maximumBytes) return std::nullopt;
    // One byte more than allowed, so that a file growing while it is read is caught.
    std::string bytes(maximumBytes + 1, '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::nullopt;
        if (count == 0) break;
        filled += std::size_t(count);
    }
    if (filled > maximumBytes) return std::nullopt;
    bytes.resize(filled);
    return bytes;
}

std::optional<BundleInfo> readBundleInfo(const fs::path& bundle) {
    const auto bytes = readSmallFile(bundle / "Contents" / "Info.json", kMaximumInfoBytes);
    if (!bytes) return std::nullopt;
    const auto json = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;
    BundleInfo info;
    for (const auto& [key, value] : json.items()) {
        if (value.is_string()) info.emplace(key, value.get<std::string>());
    }
    return info;
}

std::optional<fs::path> bundleExecutable(const fs::path& bundle) {
    const fs::path macOS = bundle / "Contents" / "MacOS";
    if (const auto info = readBundleInfo(bundle)) {
        if (const auto name = info->find(kBundleExecutableKey); name != info->end()) {
            const fs::path program(name->second);
            // Only a plain name: the value must not lead out of the bundle.
            if (program.has_filename() && program == program.filename() && program != "." && program != "..") {
                return macOS / program;
            }
            return std::nullopt;
        }
    }
    std::error_code error;
    std::optional<fs::path> only;
    for (fs::directory_iterator entry(macOS, error), end; !error && entry != end; entry.increment(error)) {
        if (only) return std::nullopt;
        only = entry->path();
    }
    return error ? std::nullopt : only;
}

}  // namespace platform::bundle
