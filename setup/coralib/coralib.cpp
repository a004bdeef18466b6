// Configuration folder, ini access, folders and the waiting notice (see coralib.h).
#include "setup/coralib/coralib.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/file.h"
#include "platform/inifile.h"
#include "setup/toolkit/form.h"

std::string GetOrvaneConfigDir() {
    std::string dir;
    if (const char* env = std::getenv("ORVANE_CONFIG_DIR"); env && *env)
        dir = env;
    else if (geteuid() == 0)
        dir = "/etc/orvane";
    else if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        dir = std::string(xdg) + "/orvane";
    else if (const char* home = std::getenv("HOME"); home && *home)
        dir = std::string(home) + "/.config/orvane";
    else
        dir = "/tmp/orvane-" + std::to_string(geteuid());
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::string GetIniProfileString(const std::string& section, const std::string& key,
                                const std::string& defaultValue, const std::string& file) {
    return PlatGetProfileString(section, key, defaultValue, file);
}

bool WriteIniProfileString(const std::string& section, const std::string& key,
                           const std::string& value, const std::string& file) {
    return PlatWriteProfileString(section, key.c_str(), value.c_str(), file);
}

bool EnsureDirExist(const std::string& path) {
    return !path.empty() && PlatMakeDirectories(path) == 0 && PlatIsDirectory(path);
}

bool GetModuleDir(std::string& folder) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return false;
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return false;
    folder = slash == 0 ? "/" : path.substr(0, slash);
    return true;
}

int OpenDlgWaiting(const std::string& text) {
    if (CDialogHost* host = GetDialogHost())
        host->ShowWaiting(text);
    return 1;
}

void CloseDlgWaiting(int handle) {
    if (handle != 0)
        if (CDialogHost* host = GetDialogHost())
            host->HideWaiting();
}
