// The audiosim wire protocol: length-prefixed CBOR messages over a Unix stream socket, and the
// conversions of platform values to and from their message form.
#pragma once

#include "platform/audio_types.h"
#include "platform/property_list.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace audiosim::wire {

using Message = nlohmann::json;

// A message larger than this is refused by both sides; audio travels in shared memory.
inline constexpr std::uint32_t kMaxMessageBytes = 1 << 20;
inline constexpr std::uint32_t kHeaderBytes = 4;
// Raw property data or audio carried by one message.
inline constexpr std::uint32_t kMaxDataBytes = 512 * 1024;

// A reply that carries only its status.
inline Message statusOnly(platform::audio::OSStatus status) { return Message{{"status", status}}; }
// The status of a reply; 'stop' (not running) when there was none.
platform::audio::OSStatus statusOf(const std::optional<Message>& reply);

// The frame of a message: a 4-byte little-endian length, then the CBOR bytes.
std::vector<std::uint8_t> encode(const Message& message);

// The message in `payload` (without its length prefix); nothing for malformed CBOR, anything but
// an object, or a request without an unsigned "id" and a string "op".
std::optional<Message> decodeRequest(const std::uint8_t* payload, std::size_t size);
// A reply: an object with an unsigned "id" and an integer "status".
std::optional<Message> decodeReply(const std::uint8_t* payload, std::size_t size);
// Any object.
std::optional<Message> decodeObject(const std::uint8_t* payload, std::size_t size);

// Reads the length prefix; nothing when it exceeds kMaxMessageBytes.
std::optional<std::uint32_t> frameLength(const std::uint8_t header[kHeaderBytes]);

// One non-blocking sendmsg of `size` bytes, passing `passFd` with them when it is not -1.
// Returns what sendmsg returns.
long sendWithDescriptor(int fd, const std::uint8_t* data, std::size_t size, int passFd);

// Blocking I/O of whole messages on a socket, each bounded by `timeout`. Errors: false.
bool sendMessage(int fd, const Message& message, std::chrono::milliseconds timeout, int passFd = -1);
// Reads one frame into a message; `receivedFd` (when not null) gets a descriptor passed with it,
// or -1. Nothing on timeout, end of stream, an oversized frame or malformed content.
std::optional<Message> receiveMessage(int fd, std::chrono::milliseconds timeout, int* receivedFd = nullptr);

Message toMessage(const platform::audio::PropertyList& value);
// Nothing for a value that is no property list (booleans, unsigned beyond 2^63, nesting deeper
// than 16 levels).
std::optional<platform::audio::PropertyList> toPropertyList(const Message& message);

Message toMessage(const platform::audio::AudioObjectPropertyAddress& address);
std::optional<platform::audio::AudioObjectPropertyAddress> toAddress(const Message& message);

// Typed field readers; nothing when absent or of another type.
std::optional<std::uint64_t> unsignedField(const Message& message, const char* key);
std::optional<std::int64_t> integerField(const Message& message, const char* key);
std::optional<double> numberField(const Message& message, const char* key);
std::optional<std::string> stringField(const Message& message, const char* key);
const Message::binary_t* binaryField(const Message& message, const char* key);

}  // namespace audiosim::wire
