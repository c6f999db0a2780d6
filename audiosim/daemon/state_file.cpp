#include "audiosim/daemon/state_file.h"

#include "audiosim/protocol/paths.h"
#include "audiosim/protocol/wire.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace audiosim {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxStateBytes = 1 << 20;
constexpr std::uint32_t kMaxVolumeElement = 1024;
constexpr const char* kFileName = "state.json";
constexpr const char* kSetAsideName = "state.json.bad";

// Why a parsed file is not a saved state, or an empty string when every field is as written by
// writeStateFile. Absent fields keep their defaults; a field of the wrong type or out of range
// makes the whole file suspect, since a half-applied state is worse than a fresh one.
std::string parseState(const json& root, DeviceModel::PersistentState& state) {
    if (!root.is_object()) return "it is not a JSON object";
    const auto readUID = [&root](const char* key, std::string& into) {
        const auto field = root.find(key);
        if (field == root.end()) return true;
        if (!field->is_string()) return false;
        into = field->get<std::string>();
        return true;
    };
    if (!readUID("defaultOutput", state.defaultOutput)) return "\"defaultOutput\" is not a device UID";
    if (!readUID("defaultSystemOutput", state.defaultSystemOutput)) return "\"defaultSystemOutput\" is not a device UID";
    if (const auto volumes = root.find("volumes"); volumes != root.end()) {
        if (!volumes->is_object()) return "\"volumes\" is not an object";
        for (const auto& [uid, elements] : volumes->items()) {
            if (!elements.is_object()) return "the volumes of \"" + uid + "\" are not an object";
            for (const auto& [element, level] : elements.items()) {
                char* end = nullptr;
                errno = 0;
                const unsigned long number = std::strtoul(element.c_str(), &end, 10);
                if (element.empty() || *end != '\0' || errno != 0 || number >= kMaxVolumeElement ||
                    !std::isdigit(static_cast<unsigned char>(element[0])))
                    return "\"" + element + "\" is not a volume element of \"" + uid + "\"";
                if (!level.is_number() || !(level.get<double>() >= 0.0 && level.get<double>() <= 1.0))
                    return "a volume of \"" + uid + "\" is not a level from 0 to 1";
                state.volumes[uid][std::uint32_t(number)] = level.get<float>();
            }
        }
    }
    if (const auto aggregates = root.find("aggregates"); aggregates != root.end()) {
        if (!aggregates->is_array()) return "\"aggregates\" is not a list";
        for (const auto& description : *aggregates) {
            auto value = wire::toPropertyList(description);
            if (!value || !value->isDictionary()) return "an aggregate device is not a description";
            state.publicAggregates.push_back(std::move(*value));
        }
    }
    return {};
}

// Moves an unusable state file out of the way, so that the next save does not fail on it and a
// person can still look at it. Returns the sentence that says what became of it.
std::string setAside(const std::filesystem::path& directory) {
    const auto from = directory / kFileName;
    const auto to = directory / kSetAsideName;
    if (::rename(from.c_str(), to.c_str()) != 0)
        return "It could not be set aside (" + std::string(std::strerror(errno)) + ").";
    return "It was set aside as " + to.string() + ".";
}

}  // namespace

std::optional<DeviceModel::PersistentState> readStateFile(const std::filesystem::path& directory, std::string& error) {
    error.clear();
    const auto path = directory / kFileName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        error = "Cannot read " + path.string() + " (" + std::strerror(errno) + "). " + setAside(directory);
        return std::nullopt;
    }
    struct stat info {};
    std::string problem;
    std::string text;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = "it is not a regular file";
    } else if (std::size_t(info.st_size) > kMaxStateBytes) {
        problem = "it is larger than " + std::to_string(kMaxStateBytes) + " bytes";
    } else {
        text.resize(std::size_t(info.st_size));
        if (::read(fd, text.data(), text.size()) != ssize_t(text.size())) problem = "it could not be read whole";
    }
    ::close(fd);
    DeviceModel::PersistentState state;
    if (problem.empty()) {
        const json root = json::parse(text, nullptr, false);
        problem = root.is_discarded() ? "it is not JSON" : parseState(root, state);
    }
    if (!problem.empty()) {
        error = path.string() + " is not a saved state: " + problem + ". " + setAside(directory);
        return std::nullopt;
    }
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
