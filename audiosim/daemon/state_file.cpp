#include "audiosim/daemon/state_file.h"

#include "audiosim/protocol/paths.h"
#include "audiosim/protocol/wire.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace audiosim {

using nlohmann::json;

namespace {
constexpr std::size_t kMaxStateBytes = 1 << 20;
constexpr const char* kFileName = "state.json";
}  // namespace

std::optional<DeviceModel::PersistentState> readStateFile(const std::filesystem::path& directory, std::string& error) {
    error.clear();
    const auto path = directory / kFileName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) error = "Cannot read " + path.string() + ": " + std::strerror(errno) + ".";
        return std::nullopt;
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && std::size_t(info.st_size) <= kMaxStateBytes) {
        text.resize(std::size_t(info.st_size));
        if (::read(fd, text.data(), text.size()) != ssize_t(text.size())) text.clear();
    }
    ::close(fd);
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        error = path.string() + " is not a saved state.";
        return std::nullopt;
    }
    DeviceModel::PersistentState state;
    state.defaultOutput = root.value("defaultOutput", "");
    state.defaultSystemOutput = root.value("defaultSystemOutput", "");
    if (const auto volumes = root.find("volumes"); volumes != root.end() && volumes->is_object())
        for (const auto& [uid, elements] : volumes->items()) {
            if (!elements.is_object()) continue;
            for (const auto& [element, level] : elements.items()) {
                char* end = nullptr;
                const unsigned long number = std::strtoul(element.c_str(), &end, 10);
                if (*end == '\0' && number < 1024 && level.is_number())
                    state.volumes[uid][std::uint32_t(number)] = level.get<float>();
            }
        }
    if (const auto aggregates = root.find("aggregates"); aggregates != root.end() && aggregates->is_array())
        for (const auto& description : *aggregates)
            if (auto value = wire::toPropertyList(description); value && value->isDictionary())
                state.publicAggregates.push_back(std::move(*value));
    return state;
}

std::string writeStateFile(const std::filesystem::path& directory, const DeviceModel::PersistentState& state) {
    std::error_code ignored;
    std::filesystem::create_directories(directory.parent_path(), ignored);
    if (const auto error = preparePrivateDirectory(directory); !error.empty()) return error;
    json root{{"defaultOutput", state.defaultOutput}, {"defaultSystemOutput", state.defaultSystemOutput}};
    json volumes = json::object();
    for (const auto& [uid, elements] : state.volumes)
        for (const auto& [element, level] : elements) volumes[uid][std::to_string(element)] = level;
    root["volumes"] = volumes;
    json aggregates = json::array();
    for (const auto& description : state.publicAggregates) aggregates.push_back(wire::toMessage(description));
    root["aggregates"] = aggregates;

    const auto path = directory / kFileName;
    std::string temporary = (directory / ".state.json.XXXXXX").string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return "Cannot save the state in " + directory.string() + ": " + std::strerror(errno) + ".";
    const std::string text = root.dump(2, ' ', false, json::error_handler_t::replace);
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return "Cannot save the state in " + path.string() + ".";
    }
    return {};
}

}  // namespace audiosim
