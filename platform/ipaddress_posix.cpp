// IP address and CIDR range parsing through inet_pton (see ipaddress.h).
#include "platform/ipaddress.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

bool PlatParseIPRange(const std::string& text, PlatIPRange& out) {
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    int maxPrefix = 128;
    int offset = 0;
    in_addr v4{};
    PlatIPRange r;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        r.bytes[10] = r.bytes[11] = 0xff;
        std::memcpy(r.bytes.data() + 12, &v4, 4);
        maxPrefix = 32;
        offset = 96;
    } else if (inet_pton(AF_INET6, address.c_str(), r.bytes.data()) != 1) {
        return false;
    }
    r.prefix = 128;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        char* end = nullptr;
        const long n = std::strtol(bits.c_str(), &end, 10);
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos ||
            *end != '\0' || n > maxPrefix)
            return false;
        r.prefix = offset + static_cast<int>(n);
    }
    out = r;
    return true;
}

bool PlatIPRangeContains(const PlatIPRange& range, const PlatIPRange& address) {
    int bits = range.prefix;
    for (size_t i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
        const uint8_t mask = bits >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - bits));
        if ((range.bytes[i] & mask) != (address.bytes[i] & mask))
            return false;
    }
    return true;
}

bool PlatSplitListenSpec(const std::string& text, long maxPort, std::string& address, long& port) {
    std::string portText = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
    }
    char* end = nullptr;
    port = std::strtol(portText.c_str(), &end, 10);
    return !portText.empty() && *end == '\0' && port >= 0 && port <= maxPort;
}
