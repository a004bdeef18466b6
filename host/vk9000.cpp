// vk9000: the Velkan daemon. Serves one instance folder (`--home DIR`) or creates and serves the
// demo instance (`--demo DIR`) until SIGINT or SIGTERM.
// Exit codes: 0 stopped by a signal; 1 bad arguments; 2 bad settings, a local instance without its
// store, a back-end that cannot be used (a network server unreachable or refusing the login), or
// the demo instance could not be made; 3 the listening port could not be opened; 4 another vk9000 serves the folder.
#include <CLI/CLI.hpp>

#include <strings.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <malloc.h>
#include <memory>
#include <string>

#include "backend/strata/strata_channel.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_store.h"
#include "berkit/codepage.h"
#include "host/console.h"
#include "host/demoinstance.h"
#include "host/hostsettings.h"
#include "host/pidfile.h"
#include "host/reload.h"
#include "host/stopsignals.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/syserror.h"
#include "backend/rowstore/memsort.h"
#include "server/tunnelarray.h"

std::string ProgramPath(const char* argv0);

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitSettings = 2, kExitListen = 3, kExitRunning = 4 };

// Absolute form of `dir`, ending with "/".
std::string HomeFolder(const std::string& dir) {
    std::error_code ec;
    std::string home = std::filesystem::absolute(dir, ec).lexically_normal().string();
    if (home.empty())
        home = dir;
    if (home.back() != '/')
        home += '/';
    return home;
}

// Selects the back-end interface so that sessions can open their channels. False (printed and
// logged) for an unknown interface, or a network server that refuses the server's login, lacks
// the database or cannot be reached at all: a server that would refuse every client must not
// start as if it were well.
bool LoadBackend(CTunnelArray& manager, const CServerSettings& settings, const std::string& home) {
    std::string note;
    CInterface::SetStoreFolder(BackendStoreFolder(settings, home, note));
    if (!note.empty())
        manager.m_log.Write(2, "%s", note.c_str());
    manager.m_interface.SetNetworkOptions(BackendNetOptions(settings));
    std::string error;
    if (manager.m_interface.LoadLibraryA(settings.m_interfaceLibrary.c_str(),
                                         settings.m_instanceName.c_str()) != 0 ||
        manager.m_interface.GetAllProcAddress(error) != 0) {
        if (error.empty())
            error = "unknown interface " + settings.m_interfaceLibrary;
        std::fprintf(stderr, "vk9000: back-end not available: %s\n", error.c_str());
        manager.m_log.Write(1, "back-end interface %s (%s) not loaded: %s",
                            settings.m_interfaceLibrary.c_str(), settings.m_instanceName.c_str(),
                            error.c_str());
        return false;
    }
    if (manager.m_interface.GetPathPrefix().empty())
        return true;
    // The interface lets a server that does not answer come later; at start that is an error.
    int code = 0;
    if (manager.m_interface.OpenChannel(code, error) == nullptr && code == kStrataUnreachable) {
        std::fprintf(stderr, "vk9000: back-end not available: %s\n", error.c_str());
        manager.m_log.Write(1, "back-end %s not reachable at start: %s", settings.m_serverAddress.c_str(),
                            error.c_str());
        return false;
    }
    return true;
}

// Result sets keep their rows in files under DIR/tmp/; files left there by a process that was
// killed are removed before the first session can make new ones.
void PrepareTempFolder(const std::string& home) {
    const std::string tmp = home + "tmp";
    PlatMakeDirectories(tmp);
    CMemSort::SetTempFolder(tmp);
    CMemSort::RemoveStaleFiles();
}

// Fills the catalogue from the back-end. A failure is logged and printed; the server still runs
// (every database name is then unknown to the sessions).
void LoadCatalogue(CTunnelArray& manager) {
    std::string error;
    if (manager.m_databases.InitAllDatabase(error) != 0) {
        // The back-end's texts are in the ANSI code page; the terminal reads UTF-8.
        const bool noAccount = manager.m_settings.Snapshot()->m_dbUser.empty();
        std::fprintf(stderr, "vk9000: no database available: %s%s\n", AnsiToUtf8(error).c_str(),
                     noAccount ? " ([Backend] DBUser, the server's own account in the store, is empty)" : "");
        manager.m_log.Write(1, "catalogue not loaded: %s", error.c_str());
        return;
    }
    const auto entries = manager.m_databases.GetEntries();
    std::string paths;
    for (const auto& entry : entries)
        paths += (paths.empty() ? "" : ", ") + entry->m_dbPath;
    manager.m_log.Write(2, "catalogue loaded: %zu database(s): %s", entries.size(), paths.c_str());
}

// The "listening" lines the operator and the scripts wait for, one per port.
void PrintListening(CTunnelArray& manager, const std::string& home) {
    const int port = manager.GetListenerPort();
    const int tlsPort = manager.GetTlsListenerPort();
    if (port >= 0) {
        manager.m_log.Write(2, "service started on port %d", port);
        std::printf("vk9000: listening on port %d (home %s)\n", port, home.c_str());
    }
    if (tlsPort >= 0) {
        manager.m_log.Write(2, "service started on TLS port %d", tlsPort);
        std::printf("vk9000: listening on port %d with TLS (home %s)\n", tlsPort, home.c_str());
    }
    if (manager.GetSruListenerPort() >= 0) {
        manager.m_log.Write(2, "SRU service started on port %d", manager.GetSruListenerPort());
        std::printf("vk9000: SRU on HTTP port %d\n", manager.GetSruListenerPort());
    }
    std::fflush(stdout);
}

// Serves until SIGINT or SIGTERM, reloading on each SIGHUP. Returns the stop signal.
int WaitForStop(CTunnelArray& manager, const std::string& home, int portOverride) {
    int sig;
    while ((sig = WaitStopSignal()) == SIGHUP)
        ReloadInstance(manager, home, portOverride);
    return sig;
}

// The store tool beside this program when there is one, else the name found on PATH.
std::string StrataTool() {
    const std::string beside = (std::filesystem::path(ProgramPath("vk9000")).parent_path() / "strata").string();
    return PlatFileExists(beside) ? beside : "strata";
}

// A local instance without its store file would listen and refuse every client; instead say in
// one line which commands make the store.
bool LocalStoreMissing(const CServerSettings& settings, const std::string& home, std::string& message) {
    if (strcasecmp(settings.m_interfaceLibrary.c_str(), "localcore32.dll") != 0)
        return false;
    std::string note;
    const std::string folder = BackendStoreFolder(settings, home, note);
    const std::string store = folder + "/" + settings.m_instanceName + ".strata";
    if (PlatFileExists(store))
        return false;
    PlatMakeDirectories(folder);  // so that the create command below works as it is given
    const std::string tool = StrataTool();
    message = "no store " + store + " for instance " + settings.m_instanceName + ": make it with \"" + tool +
              " create " + store + "\", add a database with \"" + tool + " db add " + store +
              " NAME --cfgs FOLDER\" and load records with \"" + tool + " load " + store + " NAME FILE\"";
    return true;
}

int Serve(const std::string& home, int portOverride, const std::string& consoleListen, bool demo) {
    const std::string iniFile = home + "vk9000.ini";
    CServerSettings settings;
    std::string error;
    if (!ReadHostSettings(iniFile, settings, error)) {
        std::fprintf(stderr, "vk9000: %s: %s\n", iniFile.c_str(), error.c_str());
        return kExitSettings;
    }
    if (portOverride >= 0)
        settings.m_port = static_cast<unsigned>(portOverride);
    if (!PlatSetAnsiCodePage(settings.m_ansiCodePage.c_str())) {
        std::fprintf(stderr, "vk9000: %s: unknown AnsiCodePage %s\n", iniFile.c_str(),
                     settings.m_ansiCodePage.c_str());
        return kExitSettings;
    }
    if (PlatMakeDirectories(home) != 0) {
        std::fprintf(stderr, "vk9000: cannot create %s: %s\n", home.c_str(),
                     PlatSystemErrorText(PlatLastError()).c_str());
        return kExitSettings;
    }
    if (LocalStoreMissing(settings, home, error)) {
        std::fprintf(stderr, "vk9000: %s\n", error.c_str());
        return kExitSettings;
    }
    CPidFile pidFile;  // removed when Serve returns
    if (!pidFile.Acquire(home, error)) {
        std::fprintf(stderr, "vk9000: %s\n", error.c_str());
        return kExitRunning;
    }

    // Start-up order: settings and log, IP filter, back-end and catalogue, manager thread, listener.
    auto manager = std::make_unique<CTunnelArray>();
    ApplyHostSettings(settings, home, *manager);
    if (!LoadTlsCertificate(*manager, settings, home, error)) {
        std::fprintf(stderr, "vk9000: %s: %s\n", iniFile.c_str(), error.c_str());
        return kExitSettings;
    }
    PrepareTempFolder(home);
    manager->InitIPFilter((home + "vkipfilt.cfg").c_str());
    if (!LoadBackend(*manager, settings, home))
        return kExitSettings;
    LoadCatalogue(*manager);
    manager->Create(false, nullptr);
    if (!manager->ListenerStart()) {
        const int code = manager->GetListenerError();
        const int failedPort = manager->GetListenerFailedPort();
        manager.reset();
        std::fprintf(stderr, "vk9000: cannot listen on port %d: %s\n", failedPort, PlatSystemErrorText(code).c_str());
        return kExitListen;
    }
    PrintListening(*manager, home);
    bool consoleCannotListen = false;
    std::unique_ptr<CHostConsole> console =
        StartConsole(*manager, home, consoleListen, demo, portOverride, error, consoleCannotListen);
    if (!console && !error.empty()) {
        manager.reset();
        std::fprintf(stderr, "vk9000: console: %s\n", error.c_str());
        return consoleCannotListen ? kExitListen : kExitSettings;
    }

    const int sig = WaitForStop(*manager, home, portOverride);
    manager->m_log.Write(2, "service stopped by signal %d", sig);
    if (console)
        console->server->Stop();  // no request may reach the manager from here on
    manager.reset();  // listener, manager thread and every session end here
    console.reset();
    std::fprintf(stderr, "vk9000: stopped (signal %d)\n", sig);
    return kExitOk;
}

}  // namespace

// The running program's own path: argv[0] holds only its name when it was found on PATH.
std::string ProgramPath(const char* argv0) {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(argv0) : self.string();
}

#ifdef VELKAN_JEMALLOC
// The program is linked with jemalloc: per-thread caches and several arenas keep the sessions'
// many small allocations (BER trees, MARC fields, strings) off any shared lock, and a background
// thread gives freed pages back to the system about a second after they fall idle, so memory
// returns after a burst of load without a trim call on the request path.
extern "C" {
const char* malloc_conf = "background_thread:true,dirty_decay_ms:1000,muzzy_decay_ms:0,tcache_max:4096";
}
void TuneAllocator() {}
#else
// Every request allocates and frees buffers of 100 KiB to a few MiB (hit lists, result-set rows,
// indexes). With glibc's defaults those come from fresh mappings or freshly trimmed heap each
// time, and the page faults of touching them cost more than the work. Keep them in the heap and
// return memory to the system only when 64 MiB are free at the top. One arena: malloc_trim, which
// the channel library calls once the store has been idle for a moment, gives back the free pages
// of the main arena only (glibc trims its per-thread arenas only at that threshold), and the
// per-thread caches keep small allocations off the arena's lock.
void TuneAllocator() {
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_ARENA_MAX, 1);
}
#endif

int main(int argc, char** argv) {
    TuneAllocator();
    CLI::App app{"vk9000: the Velkan Z39.50 server daemon"};
    std::string homeDir;
    std::string demoDir;
    int port = -1;
    auto* homeOpt = app.add_option("--home", homeDir, "serve the instance in DIR (DIR/vk9000.ini)")
                        ->type_name("DIR");
    auto* demoOpt = app.add_option("--demo", demoDir,
                                   "create the demo instance in DIR when it is missing, then serve it")
                        ->type_name("DIR");
    homeOpt->excludes(demoOpt);
    std::string consoleListen;
    bool setConsolePassword = false;
    app.add_option("--console", consoleListen,
                   "serve the operator console on [ADDR:]PORT (default address 127.0.0.1). Without it "
                   "the console is on only when vk9000.ini sets [Console] Listen, or for --demo at " +
                       std::string(kDemoConsoleListen) + "; it needs --set-console-password first")
        ->type_name("[ADDR:]PORT");
    app.add_flag("--set-console-password", setConsolePassword,
                 "read the console's operator password from standard input, store its hash, exit")
        ->needs(homeOpt);
    app.add_option("--port", port, "listening port, overriding the instance's (0: any free port)")
        ->check(CLI::Range(0, 65534));
    try {
        app.parse(argc, argv);
        if (homeDir.empty() && demoDir.empty())
            throw CLI::RequiredError("--home or --demo");
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }

    // Before any thread exists, so that every thread inherits the blocked mask.
    if (!BlockStopSignals()) {
        std::fprintf(stderr, "vk9000: cannot block the stop signals\n");
        return kExitSettings;
    }
    const bool demo = !demoDir.empty();
    const std::string home = HomeFolder(demo ? demoDir : homeDir);
    if (setConsolePassword)
        return SetConsolePasswordFromInput(home + "vk9000.ini");
    if (demo && !PlatFileExists(home + "vk9000.ini")) {
        std::string error;
        std::printf("vk9000: creating the demo instance in %s\n", home.c_str());
        std::fflush(stdout);
        // The store tool built beside this program, if there is one.
        std::error_code ec;
        const std::filesystem::path strata =
            std::filesystem::weakly_canonical(ProgramPath(argv[0]), ec).parent_path() / "strata";
        const std::string tool = PlatFileExists(strata.string()) ? strata.string() : "";
        if (!CreateDemoInstance(home, FindDemoStoreScript(ProgramPath(argv[0])), tool, error)) {
            std::fprintf(stderr, "vk9000: cannot create the demo instance: %s\n", error.c_str());
            return kExitSettings;
        }
    }
    return Serve(home, port, consoleListen, demo);
}
