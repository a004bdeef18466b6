#pragma once
// Reloading a running instance (SIGHUP, systemctl reload): vk9000.ini, vkipfilt.cfg, the TLS
// certificate and the catalogue are read again while the sessions stay open. A file that cannot
// be used keeps the old values and logs one line saying why; changed settings that take effect
// only when the listener or the back-end connection restarts say so in the log.
// Thread safety: the daemon's main thread.

#include <string>

#include "server/settings.h"

class CTunnelArray;

// Loads the TLS port's certificate and key (TlsCertFile, TlsKeyFile: absolute, or relative to
// `home`, which ends with "/") when `settings` set a TlsPort. False with `error`; the context
// then keeps what it had.
bool LoadTlsCertificate(CTunnelArray& manager, const CServerSettings& settings, const std::string& home,
                        std::string& error);

// Reloads the instance in `home`; `portOverride` (the command line's --port, or -1) stays the
// port. True when every file was taken.
bool ReloadInstance(CTunnelArray& manager, const std::string& home, int portOverride);
