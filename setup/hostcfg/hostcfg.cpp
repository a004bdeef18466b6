// Interface registrations and the host list (see hostcfg.h).
#include "setup/hostcfg/hostcfg.h"

#include <strings.h>

#include <sstream>

#include "platform/file.h"
#include "platform/inifile.h"
#include "setup/coralib/coralib.h"

namespace {

constexpr size_t kMaxHostsBytes = 256 * 1024;

bool UsableHost(const std::string& host) {
    return !host.empty() && host.size() <= 255 &&
           host.find_first_of(" \t\r\n") == std::string::npos;
}

}  // namespace

std::string StrataInterfacesFile() {
    return GetOrvaneConfigDir() + "/strata-interfaces.ini";
}

std::string Netchan32HostsFile() {
    return GetOrvaneConfigDir() + "/netchan32-hosts.txt";
}

int RegisterStrataInterface(const std::string& library, int network, const std::string& displayName,
                            const std::string& programFolder) {
    const std::string file = StrataInterfacesFile();
    if (!EnsureDirExist(GetOrvaneConfigDir()))
        return -1;
    const bool ok = PlatWriteProfileString(library, "Network", network ? "1" : "0", file) &&
                    PlatWriteProfileString(library, "Name", displayName.c_str(), file) &&
                    PlatWriteProfileString(library, "Folder", programFolder.c_str(), file);
    return ok ? 0 : -1;
}

std::vector<std::string> ReadNETCHAN32Hosts() {
    std::vector<std::string> hosts;
    std::string text;
    if (PlatReadFile(Netchan32HostsFile(), text, kMaxHostsBytes) != 0)
        return hosts;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (UsableHost(line) && line[0] != '#')
            hosts.push_back(line);
    }
    return hosts;
}

int WriteNETCHAN32Hosts(const std::vector<std::string>& hosts) {
    if (!EnsureDirExist(GetOrvaneConfigDir()))
        return -1;
    std::string text = "# Back-end servers of the network interface netchan32.dll, one host[:port] a line.\n";
    for (const std::string& host : hosts)
        if (UsableHost(host))
            text += host + "\n";
    return PlatWriteFileAtomic(Netchan32HostsFile(), text.data(), text.size());
}

int AppendNETCHAN32Hosts(int, const std::vector<std::string>& hosts) {
    std::vector<std::string> list = ReadNETCHAN32Hosts();
    for (const std::string& host : hosts) {
        if (!UsableHost(host))
            continue;
        bool present = false;
        for (const std::string& known : list)
            present = present || strcasecmp(known.c_str(), host.c_str()) == 0;
        if (!present)
            list.push_back(host);
    }
    return WriteNETCHAN32Hosts(list);
}
