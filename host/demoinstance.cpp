// Creating the demo instance (see demoinstance.h).
#include "host/demoinstance.h"

#include <vector>

#include "platform/datafile.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace {

// Runs `bash script folder [strata]` and waits for it. False with `error` when it cannot start or fails.
bool RunScript(const std::string& script, const std::string& folder, const std::string& strata,
               std::string& error) {
    std::vector<std::string> args = {"bash", script, folder};
    if (!strata.empty())
        args.push_back(strata);
    const int rc = PlatRunProgram(args, {}, "", error);
    if (rc > 0)
        error = script + " failed (status " + std::to_string(rc) + ")";
    return rc == 0;
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
    return PlatFindDataFile(executablePath, kDemoStoreScript);
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
