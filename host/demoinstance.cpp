// Creating the demo instance (see demoinstance.h).
#include "host/demoinstance.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/file.h"
#include "platform/syserror.h"

extern char** environ;

namespace {

// Runs `bash script folder` and waits for it. False with `error` when it cannot start or fails.
bool RunScript(const std::string& script, const std::string& folder, const std::string& strata,
               std::string& error) {
    std::vector<std::string> args = {"bash", script, folder};
    if (!strata.empty())
        args.push_back(strata);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "bash", nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        error = "cannot run " + script + ": " + PlatSystemErrorText(rc);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "cannot wait for " + script + ": " + PlatSystemErrorText(errno);
            return false;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = script + " failed (status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
        return false;
    }
    return true;
}

// The instance name of the first store file (NAME.strata) in `folder`, or "".
std::string FindStoreInstance(const std::string& folder) {
    std::vector<std::string> names;
    if (PlatListDirectory(folder, names) != 0)
        return "";
    const std::string suffix = ".strata";
    for (const std::string& n : names)
        if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            return n.substr(0, n.size() - suffix.size());
    return "";
}

}  // namespace

std::string FindDemoStoreScript(const std::string& executablePath) {
    namespace fs = std::filesystem;
    const std::string rel = "scripts/make-demo-store.sh";
    if (const char* src = std::getenv("VELKAN_SOURCE_DIR"); src && *src)
        return PlatFileExists(PlatJoinPath(src, rel)) ? PlatJoinPath(src, rel) : "";
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(fs::path(executablePath), ec).parent_path();
    for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.parent_path()) {
        // A source or build tree holds scripts/ itself; an installed prefix P keeps it in
        // P/share/velkan (beside data/demo, which the script finds relative to itself).
        for (const fs::path& candidate : {dir / rel, dir / "share/velkan" / rel})
            if (fs::exists(candidate, ec))
                return candidate.string();
        if (dir == dir.parent_path())
            break;
    }
    return "";
}

std::string DemoIniText(unsigned port, const std::string& instanceName) {
    return "; Demo instance made by vk9000 --demo. See host/vk9000.ini.sample for every key.\r\n"
           "[common]\r\n"
           "ListenerPort=" + std::to_string(port) + "\r\n"
           "DBIPAddress=localhost\r\n"
           "[Strata]\r\n"
           "interface=localcore32.dll\r\n"
           "DB Instance=" + instanceName + "\r\n"
           "Version=1\r\n"
           "[Server]\r\n"
           "TimeoutEnabled=1\r\n"
           "TimeoutSeconds=600\r\n"
           "LogPackets=0\r\n"
           "; bib-1 diagnostics instead of ended associations, for library clients (see the sample)\r\n"
           "Diagnostics=bib1\r\n"
           "; terms of clients that do not negotiate UTF-8: UTF-8 when they are valid UTF-8\r\n"
           "QueryCharset=auto\r\n"
           "; SRU (HTTP) on the Z39.50 port too: http://localhost:PORT/books?query=...\r\n"
           "[SRU]\r\n"
           "Enabled=1\r\n"
           "[Access]\r\n"
           "AllowAnonymous=1\r\n"
           "AnonymousUser=public\r\n"
           "AnonymousPassword=\r\n"
           "AcceptOpen=1\r\n"
           "AcceptIdPass=1\r\n"
           "BadLoginAction=1\r\n"
           "[Backend]\r\n"
           "DBUser=public\r\n"
           "DBPassword=\r\n"
           "BackendFolder=backend\r\n";
}

bool CreateDemoInstance(const std::string& dir, const std::string& script, const std::string& strata,
                        std::string& error) {
    if (script.empty()) {
        error = "the demo store builder scripts/make-demo-store.sh was not found "
                "(set VELKAN_SOURCE_DIR to the source tree)";
        return false;
    }
    const std::string backend = PlatJoinPath(dir, "backend");
    if (PlatMakeDirectories(backend) != 0) {
        error = "cannot create " + backend + ": " + PlatSystemErrorText(PlatLastError());
        return false;
    }
    if (!RunScript(script, backend, strata, error))
        return false;
    std::string instance = FindStoreInstance(backend);
    if (instance.empty()) {
        error = script + " made no store (*.strata) in " + backend;
        return false;
    }
    const std::string ini = DemoIniText(kDemoPort, instance);
    const std::string iniFile = PlatJoinPath(dir, "vk9000.ini");
    if (PlatWriteFileAtomic(iniFile, ini.data(), ini.size()) != 0) {
        error = "cannot write " + iniFile + ": " + PlatSystemErrorText(PlatLastError());
        return false;
    }
    return true;
}
