#include "platform/uuid.h"

#include <uuid/uuid.h>

namespace platform {

std::string newUUIDString() {
    uuid_t bytes;
    uuid_generate_random(bytes);
    char text[37];
    uuid_unparse_upper(bytes, text);
    return text;
}

bool isUUIDString(std::string_view text) {
    if (text.size() != 36) return false;
    const std::string terminated(text);
    uuid_t bytes;
    return uuid_parse(terminated.c_str(), bytes) == 0;
}

}  // namespace platform
