#pragma once
// The operator console of vk9000: its [Console] settings in vk9000.ini (Listen, CertFile, KeyFile,
// PasswordHash), setting the operator password, and the host's side of the console (saving the
// settings after Apply, restarting the listener, reconnecting the back-end).
// Thread safety: the functions run on the main thread; CConsoleHost's calls come from the console
// under its user-interface lock, one at a time.

#include <memory>
#include <string>

#include "ui/web/consoleserver.h"

class CTunnelArray;

// Where the demo instance's console listens.
constexpr const char* kDemoConsoleListen = "127.0.0.1:8210";

// "[ADDR:]PORT" (ADDR may be "[v6]"; 127.0.0.1 when left out; PORT 0 to 65535, 0: any free port).
bool ParseConsoleListen(const std::string& text, std::string& address, int& port, std::string& error);

// Stores a new salted hash of `password` as [Console] PasswordHash in `iniFile`.
bool StoreConsolePassword(const std::string& iniFile, const std::string& password, std::string& error);

// --set-console-password: reads the password from standard input (without echo, and twice, on a
// terminal) and stores its hash. Returns the exit code (0, or 2 with a message on stderr).
int SetConsolePasswordFromInput(const std::string& iniFile);

class CConsoleHost : public IConsoleHost {
public:
    // `home` ends with "/"; its vk9000.ini receives the saved settings. `portOverride` (the
    // command line's --port, or -1) is not saved as the instance's port unless the operator
    // changed the port in the sheet.
    CConsoleHost(CTunnelArray& manager, std::string home, int portOverride);
    bool SaveSettings(std::string& error) override;
    bool RestartListener(std::string& error) override;
    bool ReconnectBackend(std::string& error) override;

private:
    CTunnelArray& m_manager;
    const std::string m_home;
    const int m_portOverride;
    std::string m_loadedLibrary;   // the interface and instance the back-end was loaded with
    std::string m_loadedInstance;
};

// The running console and its host side. Stop() before the manager goes, destroy after it.
struct CHostConsole {
    std::unique_ptr<CConsoleHost> host;
    std::unique_ptr<CConsoleServer> server;
};

// Starts the console when `listen` (the command line's --console), [Console] Listen or `demo` asks
// for it; the demo instance gets the password "demo" when it has none. Prints the console's
// address. Null with `error` when it was asked for and cannot start (`cannotListen` true when
// the address could not be bound, false for bad settings); null without error when off.
std::unique_ptr<CHostConsole> StartConsole(CTunnelArray& manager, const std::string& home,
                                           const std::string& listen, bool demo, int portOverride,
                                           std::string& error, bool& cannotListen);
