// Packet files of logged PDUs, and the node dump members kept for old callers.
#include "bernode_pktfile.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "bernode.h"
#include "platform/localtime.h"
#include "platform/tempname.h"

namespace {

// Attempts at a name whose .ber file does not exist yet (another call in the same second may have
// drawn the same temporary number after its temporary file was gone).
constexpr int kNameAttempts = 16;

bool FileExists(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    std::fclose(file);
    return true;
}

}  // namespace

int DumpBytes(const char* path, char* data, int length, bool append)
{
    if (path == nullptr)
        return 0;
    std::FILE* file = std::fopen(path, append ? "ab" : "wb");
    if (file == nullptr)
        return 0;
    if (data != nullptr && length > 0)
        std::fwrite(data, 1, static_cast<size_t>(length), file);
    std::fclose(file);
    return 0;
}

void LogBerPackage(const char* folder, const char* prefix, const char* kind, char* data, int length,
                   bool append)
{
    std::string dir = folder ? folder : "";
    for (char& c : dir) {
        if (c == '\\')
            c = '/';
    }
    const std::string time = PlatFormatLocalTime("%Y%m%d_%H%M%S", std::time(nullptr));
    // The temporary files stay until the packet file is written, so that concurrent calls cannot
    // draw the same stem; they are removed at the end.
    std::vector<std::string> held;
    std::string target;
    for (int attempt = 0; attempt < kNameAttempts && target.empty(); ++attempt) {
        std::string temp = PlatGetTempFileName(dir, "ber");
        size_t slash = temp.rfind('/');
        if (slash == std::string::npos)
            break;  // no name: the folder does not exist or is not writable
        held.push_back(temp);
        std::string stem = temp.substr(slash + 1);
        size_t dot = stem.rfind('.');
        if (dot != std::string::npos)
            stem.erase(dot);
        std::string name = temp.substr(0, slash + 1) + (prefix ? prefix : "") + "_" + time + "_" +
                           (kind ? kind : "") + "_" + stem + ".ber";
        if (!FileExists(name))
            target = name;
    }
    if (!target.empty())
        DumpBytes(target.c_str(), data, length, append);
    for (const std::string& temp : held)
        std::remove(temp.c_str());
}

void CBERNode::DumpToFile(const char* path)
{
    (void)path;
}

void CBERNode::DumpDebugInfoToFile(const char* path)
{
    (void)path;
}
