// Plain types and constants of the platform audio hardware layer: object ids, property addresses
// with four-character codes, status codes and the fixed byte layouts that algorithms size-check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::audio {

using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;
using FourCharCode = std::uint32_t;

// Packs a four-character code the way the platform does: first character in the high byte.
constexpr FourCharCode fourCC(const char (&code)[5]) {
    return (FourCharCode(std::uint8_t(code[0])) << 24) | (FourCharCode(std::uint8_t(code[1])) << 16) |
           (FourCharCode(std::uint8_t(code[2])) << 8) | FourCharCode(std::uint8_t(code[3]));
}

// The four characters of a code ("bltn"); bytes outside printable ASCII become '?'.
std::string fourCCText(FourCharCode code);

// Returns the code for a four-character text, or 0 when the text is not exactly four bytes.
FourCharCode fourCCFromText(std::string_view text);

struct AudioObjectPropertyAddress {
    FourCharCode mSelector = 0;
    FourCharCode mScope = 0;
    std::uint32_t mElement = 0;
    friend bool operator==(const AudioObjectPropertyAddress&, const AudioObjectPropertyAddress&) = default;
};

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

inline constexpr FourCharCode kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr FourCharCode kAudioObjectPropertyScopeInput = fourCC("inpt");
inline constexpr FourCharCode kAudioObjectPropertyScopeOutput = fourCC("outp");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;

// The address of a property in the global scope, main element.
constexpr AudioObjectPropertyAddress globalAddress(FourCharCode selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// System object.
inline constexpr FourCharCode kAudioHardwarePropertyDevices = fourCC("dev#");
inline constexpr FourCharCode kAudioHardwarePropertyTranslateUIDToDevice = fourCC("uidd");
inline constexpr FourCharCode kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");
inline constexpr FourCharCode kAudioHardwarePropertyDefaultSystemOutputDevice = fourCC("sOut");

// Devices.
inline constexpr FourCharCode kAudioObjectPropertyName = fourCC("lnam");
inline constexpr FourCharCode kAudioDevicePropertyDeviceUID = fourCC("uid ");
inline constexpr FourCharCode kAudioDevicePropertyTransportType = fourCC("tran");
inline constexpr FourCharCode kAudioDevicePropertyNominalSampleRate = fourCC("nsrt");
inline constexpr FourCharCode kAudioDevicePropertyAvailableNominalSampleRates = fourCC("nsr#");
inline constexpr FourCharCode kAudioDevicePropertyBufferFrameSize = fourCC("fsiz");
inline constexpr FourCharCode kAudioDevicePropertyStreamConfiguration = fourCC("slay");
inline constexpr FourCharCode kAudioDevicePropertyStreams = fourCC("stm#");
inline constexpr FourCharCode kAudioDevicePropertyDeviceIsRunningSomewhere = fourCC("gone");
inline constexpr FourCharCode kAudioDevicePropertyVolumeScalar = fourCC("volm");

// Aggregate devices.
inline constexpr FourCharCode kAudioAggregateDevicePropertyFullSubDeviceList = fourCC("grup");
inline constexpr FourCharCode kAudioAggregateDevicePropertyActiveSubDeviceList = fourCC("agrp");

// Streams.
inline constexpr FourCharCode kAudioStreamPropertyVirtualFormat = fourCC("sfmt");

// Transport types.
inline constexpr FourCharCode kAudioDeviceTransportTypeBuiltIn = fourCC("bltn");
inline constexpr FourCharCode kAudioDeviceTransportTypeAggregate = fourCC("grup");
inline constexpr FourCharCode kAudioDeviceTransportTypeVirtual = fourCC("virt");
inline constexpr FourCharCode kAudioDeviceTransportTypeUSB = fourCC("usb ");
inline constexpr FourCharCode kAudioDeviceTransportTypeBluetooth = fourCC("blue");
inline constexpr FourCharCode kAudioDeviceTransportTypeHDMI = fourCC("hdmi");

// Stream formats.
inline constexpr FourCharCode kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;

// Status codes. 0 is success; the others are four-character codes as the platform reports them.
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCC("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCC("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCC("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCC("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCC("!dev"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(fourCC("unop"));
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError = OSStatus(fourCC("!dat"));

struct AudioValueRange {
    double mMinimum = 0;
    double mMaximum = 0;
};
static_assert(sizeof(AudioValueRange) == 16);

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// One buffer of interleaved 32-bit float samples.
struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};
static_assert(sizeof(AudioBuffer) == 16);

// A variable-length list: the header and the first buffer are declared, further buffers follow in
// the same allocation. Its byte size is audioBufferListSize(n) = 8 + 16 × n.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};
static_assert(offsetof(AudioBufferList, mBuffers) == 8);

constexpr std::uint32_t audioBufferListSize(std::uint32_t buffers) {
    return std::uint32_t(offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * buffers);
}

// The number of buffers of a list that lie within `byteSize` bytes: a list that claims more
// buffers than its returned size holds is only walked as far as the data goes.
constexpr std::uint32_t buffersWithin(const AudioBufferList& list, std::uint32_t byteSize) {
    if (byteSize < offsetof(AudioBufferList, mBuffers)) return 0;
    const auto fit = std::uint32_t((byteSize - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer));
    return list.mNumberBuffers < fit ? list.mNumberBuffers : fit;
}

struct AudioTimeStamp {
    double mSampleTime = 0;   // frames since the device started
    std::uint64_t mHostTime = 0;  // monotonic nanoseconds
};

using AudioDeviceIOProc = OSStatus (*)(AudioObjectID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                                       AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                                       void* clientData);

// Opaque handle of one registered I/O callback.
using AudioDeviceIOProcID = struct OpaqueAudioDeviceIOProcID*;

}  // namespace platform::audio
