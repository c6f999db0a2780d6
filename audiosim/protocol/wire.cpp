#include "audiosim/protocol/wire.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace audiosim::wire {

using platform::audio::PropertyList;

namespace {

constexpr int kMaxDepth = 16;

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, int(std::min<long long>(left, 1 << 30)));
        if (ready > 0) return (entry.revents & (events | POLLHUP | POLLERR)) != 0;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool isObjectWith(const Message& m, const char* key, bool (Message::*test)() const noexcept) {
    if (!m.is_object()) return false;
    const auto it = m.find(key);
    return it != m.end() && ((*it).*test)();
}

// Walks one CBOR item and checks that every length it declares fits in the bytes that remain
// (each entry takes at least one byte) and that nesting stays within kMaxDepth. The CBOR reader
// ends the process for some lengths beyond its limits instead of reporting them, so hostile
// input never reaches it.
bool boundedItem(const std::uint8_t*& p, const std::uint8_t* end, int depth) {
    if (p >= end || depth > 2 * kMaxDepth) return false;
    const std::uint8_t initial = *p++;
    const int major = initial >> 5;
    const int info = initial & 0x1F;
    std::uint64_t argument = std::uint64_t(info);
    bool indefinite = false;
    if (info >= 24 && info <= 27) {
        const std::size_t bytes = std::size_t(1) << (info - 24);
        if (std::size_t(end - p) < bytes) return false;
        argument = 0;
        for (std::size_t i = 0; i < bytes; ++i) argument = (argument << 8) | *p++;
    } else if (info == 31) {
        indefinite = true;
    } else if (info > 27) {
        return false;
    }
    const auto remaining = std::uint64_t(end - p);
    switch (major) {
    case 0:
    case 1:
        return !indefinite;
    case 2:
    case 3:
        if (indefinite) {  // chunks of the same major type, then a break
            while (p < end && *p != 0xFF)
                if ((*p >> 5) != major || !boundedItem(p, end, depth + 1)) return false;
            return p++ < end;
        }
        if (argument > remaining) return false;
        p += argument;
        return true;
    case 4:
    case 5: {
        if (indefinite) {
            while (p < end && *p != 0xFF)
                if (!boundedItem(p, end, depth + 1) || (major == 5 && !boundedItem(p, end, depth + 1))) return false;
            return p++ < end;
        }
        const std::uint64_t items = major == 5 ? argument * 2 : argument;
        if (argument > remaining || items > remaining) return false;
        for (std::uint64_t i = 0; i < items; ++i)
            if (!boundedItem(p, end, depth + 1)) return false;
        return true;
    }
    case 6:
        return !indefinite && boundedItem(p, end, depth + 1);
    default:  // simple values and floats; a lone break is malformed
        return !indefinite;
    }
}

std::optional<Message> parse(const std::uint8_t* payload, std::size_t size) {
    if (size > kMaxMessageBytes) return std::nullopt;
    const std::uint8_t* cursor = payload;
    if (!boundedItem(cursor, payload + size, 0) || cursor != payload + size) return std::nullopt;
    Message message;
    try {
        message = Message::from_cbor(payload, payload + size, true, false);
    } catch (const Message::exception&) {
        return std::nullopt;
    }
    if (message.is_discarded() || !message.is_object()) return std::nullopt;
    return message;
}

std::optional<PropertyList> convert(const Message& m, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    if (m.is_null()) return PropertyList();
    if (m.is_number_unsigned()) {
        const auto value = m.get<std::uint64_t>();
        if (value > std::uint64_t(INT64_MAX)) return std::nullopt;
        return PropertyList(std::int64_t(value));
    }
    if (m.is_number_integer()) return PropertyList(m.get<std::int64_t>());
    if (m.is_number_float()) return PropertyList(m.get<double>());
    if (m.is_string()) return PropertyList(m.get<std::string>());
    if (m.is_array()) {
        PropertyList::Array array;
        for (const auto& item : m) {
            auto value = convert(item, depth + 1);
            if (!value) return std::nullopt;
            array.push_back(std::move(*value));
        }
        return PropertyList(std::move(array));
    }
    if (m.is_object()) {
        PropertyList::Dictionary dictionary;
        for (const auto& [key, item] : m.items()) {
            auto value = convert(item, depth + 1);
            if (!value) return std::nullopt;
            dictionary.emplace(key, std::move(*value));
        }
        return PropertyList(std::move(dictionary));
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::uint8_t> encode(const Message& message) {
    std::vector<std::uint8_t> bytes(kHeaderBytes);
    Message::to_cbor(message, bytes);
    const auto length = std::uint32_t(bytes.size() - kHeaderBytes);
    for (std::uint32_t i = 0; i < kHeaderBytes; ++i) bytes[i] = std::uint8_t(length >> (8 * i));
    return bytes;
}

std::optional<std::uint32_t> frameLength(const std::uint8_t header[kHeaderBytes]) {
    std::uint32_t length = 0;
    for (std::uint32_t i = 0; i < kHeaderBytes; ++i) length |= std::uint32_t(header[i]) << (8 * i);
    if (length > kMaxMessageBytes) return std::nullopt;
    return length;
}

std::optional<Message> decodeObject(const std::uint8_t* payload, std::size_t size) { return parse(payload, size); }

std::optional<Message> decodeRequest(const std::uint8_t* payload, std::size_t size) {
    auto message = parse(payload, size);
    if (!message || !isObjectWith(*message, "id", &Message::is_number_unsigned) ||
        !isObjectWith(*message, "op", &Message::is_string))
        return std::nullopt;
    return message;
}

std::optional<Message> decodeReply(const std::uint8_t* payload, std::size_t size) {
    auto message = parse(payload, size);
    if (!message || !isObjectWith(*message, "id", &Message::is_number_unsigned) ||
        !isObjectWith(*message, "status", &Message::is_number_integer))
        return std::nullopt;
    return message;
}

long sendWithDescriptor(int fd, const std::uint8_t* data, std::size_t size, int passFd) {
    iovec chunk{const_cast<std::uint8_t*>(data), size};
    msghdr header{};
    header.msg_iov = &chunk;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* entry = CMSG_FIRSTHDR(&header);
        entry->cmsg_level = SOL_SOCKET;
        entry->cmsg_type = SCM_RIGHTS;
        entry->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(entry), &passFd, sizeof(int));
    }
    return ::sendmsg(fd, &header, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool sendMessage(int fd, const Message& message, std::chrono::milliseconds timeout, int passFd) {
    const auto bytes = encode(message);
    if (bytes.size() - kHeaderBytes > kMaxMessageBytes) return false;
    const auto deadline = Clock::now() + timeout;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (!waitFor(fd, POLLOUT, deadline)) return false;
        const long n = sendWithDescriptor(fd, bytes.data() + sent, bytes.size() - sent, sent == 0 ? passFd : -1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        sent += std::size_t(n);
    }
    return true;
}

std::optional<Message> receiveMessage(int fd, std::chrono::milliseconds timeout, int* receivedFd) {
    if (receivedFd) *receivedFd = -1;
    const auto deadline = Clock::now() + timeout;
    const auto readExactly = [&](std::uint8_t* into, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            if (!waitFor(fd, POLLIN, deadline)) return false;
            iovec chunk{into + got, size - got};
            msghdr header{};
            header.msg_iov = &chunk;
            header.msg_iovlen = 1;
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            for (cmsghdr* entry = CMSG_FIRSTHDR(&header); entry; entry = CMSG_NXTHDR(&header, entry)) {
                if (entry->cmsg_level != SOL_SOCKET || entry->cmsg_type != SCM_RIGHTS) continue;
                int passed = -1;
                std::memcpy(&passed, CMSG_DATA(entry), sizeof passed);
                if (receivedFd && *receivedFd < 0)
                    *receivedFd = passed;
                else
                    ::close(passed);
            }
            got += std::size_t(n);
        }
        return true;
    };
    std::uint8_t header[kHeaderBytes];
    std::optional<Message> message;
    if (readExactly(header, kHeaderBytes)) {
        if (const auto length = frameLength(header)) {
            std::vector<std::uint8_t> payload(*length);
            if (readExactly(payload.data(), payload.size())) message = decodeObject(payload.data(), payload.size());
        }
    }
    if (!message && receivedFd && *receivedFd >= 0) {
        ::close(*receivedFd);
        *receivedFd = -1;
    }
    return message;
}

Message toMessage(const PropertyList& value) {
    if (value.isNull()) return nullptr;
    if (const auto* s = value.string()) return *s;
    if (const auto* a = value.array()) {
        Message array = Message::array();
        for (const auto& item : *a) array.push_back(toMessage(item));
        return array;
    }
    if (const auto* d = value.dictionary()) {
        Message object = Message::object();
        for (const auto& [key, item] : *d) object[key] = toMessage(item);
        return object;
    }
    if (value.isInteger()) return *value.integer();
    if (const auto real = value.real()) return *real;
    return nullptr;
}

std::optional<PropertyList> toPropertyList(const Message& message) { return convert(message, 0); }

Message toMessage(const platform::audio::AudioObjectPropertyAddress& address) {
    return Message::array({address.mSelector, address.mScope, address.mElement});
}

std::optional<platform::audio::AudioObjectPropertyAddress> toAddress(const Message& message) {
    if (!message.is_array() || message.size() != 3) return std::nullopt;
    for (const auto& part : message)
        if (!part.is_number_unsigned() || part.get<std::uint64_t>() > 0xFFFFFFFFu) return std::nullopt;
    return platform::audio::AudioObjectPropertyAddress{message[0].get<std::uint32_t>(), message[1].get<std::uint32_t>(),
                                                        message[2].get<std::uint32_t>()};
}

platform::audio::OSStatus statusOf(const std::optional<Message>& reply) {
    if (!reply) return platform::audio::kAudioHardwareNotRunningError;
    return platform::audio::OSStatus(integerField(*reply, "status").value_or(platform::audio::kAudioHardwareUnspecifiedError));
}

std::optional<std::uint64_t> unsignedField(const Message& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_number_unsigned()) return std::nullopt;
    return it->get<std::uint64_t>();
}

std::optional<std::int64_t> integerField(const Message& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > std::uint64_t(INT64_MAX)) return std::nullopt;
    return it->get<std::int64_t>();
}

std::optional<double> numberField(const Message& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

std::optional<std::string> stringField(const Message& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

const Message::binary_t* binaryField(const Message& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_binary()) return nullptr;
    return &it->get_binary();
}

}  // namespace audiosim::wire
