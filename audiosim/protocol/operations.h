// The names of the requests a client sends the daemon.
#pragma once

namespace audiosim {

// Every operation a client may send, with what it answers; the replies carry "status".
namespace op {
inline constexpr const char* kHas = "has";
inline constexpr const char* kSettable = "settable";
inline constexpr const char* kSize = "size";
inline constexpr const char* kGet = "get";
inline constexpr const char* kSet = "set";
inline constexpr const char* kGetObject = "getObject";
inline constexpr const char* kSetObject = "setObject";
inline constexpr const char* kCreateAggregate = "createAggregate";
inline constexpr const char* kDestroyAggregate = "destroyAggregate";
inline constexpr const char* kCreateProc = "createProc";
inline constexpr const char* kDestroyProc = "destroyProc";
inline constexpr const char* kStart = "start";
inline constexpr const char* kStop = "stop";
inline constexpr const char* kPlug = "plug";
inline constexpr const char* kUnplug = "unplug";
inline constexpr const char* kSetRate = "setRate";
inline constexpr const char* kSetInput = "setInput";
inline constexpr const char* kTakeTap = "takeTap";
inline constexpr const char* kPlay = "play";
inline constexpr const char* kPlaybackState = "playbackState";
inline constexpr const char* kStopPlayback = "stopPlayback";
inline constexpr const char* kStats = "stats";
inline constexpr const char* kPermissionStatus = "permissionStatus";
inline constexpr const char* kPermissionSet = "permissionSet";
inline constexpr const char* kPermissionRequest = "permissionRequest";
inline constexpr const char* kPing = "ping";
}  // namespace op

}  // namespace audiosim
