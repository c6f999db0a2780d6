// libFuzzer target for the daemon's message decoder: every input must be refused or decoded into
// a request whose fields the daemon then converts, without a crash or an unbounded allocation.
#include "audiosim/protocol/wire.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace audiosim::wire;
    if (size >= kHeaderBytes) (void)frameLength(data);
    const auto request = decodeRequest(data, size);
    if (!request) return 0;
    for (const char* key : {"value", "description", "qualifier"})
        if (const auto it = request->find(key); it != request->end()) (void)toPropertyList(*it);
    if (const auto it = request->find("address"); it != request->end()) (void)toAddress(*it);
    (void)unsignedField(*request, "object");
    (void)stringField(*request, "uid");
    (void)binaryField(*request, "data");
    (void)encode(*request);
    return 0;
}
