#pragma once
// Settings of the vk9000 daemon: vk9000.ini (the keys the setup program writes plus the daemon's
// own sections, each with a default; see host/vk9000.ini.sample) read into and written from the
// server's one settings value (CServerSettings), and applied to the session manager.
// Thread safety: Read and Save touch only the file and the value passed (the ini module
// serialises writes); Apply replaces the manager's settings atomically.

#include <string>

#include "backend/strata/strata_channel.h"
#include "server/settings.h"

class CTunnelArray;

// Reads `iniFile` over the values in `settings` (start from a default CServerSettings for the
// documented defaults). False with `error` naming the key when a value is out of range (port
// outside 1..65534, a negative time-out, a request limit below 1 KiB or above 1 GiB,
// BadLoginAction other than 0 or 1, Version other than 0 or 1, Diagnostics other than none or
// bib1, DefaultUseAttribute below 1, MaxConnections below 1, negative per-address limits, a
// TlsPort out of range, equal to the plain port or without TlsCertFile and TlsKeyFile, PlainPort=0
// without a TlsPort). A missing file gives the defaults.
bool ReadHostSettings(const std::string& iniFile, CServerSettings& settings, std::string& error);

// Writes every key that ReadHostSettings reads back into `iniFile` (other lines are kept), so
// that reading the file again gives `settings`. False with `error` when the file cannot be written.
bool SaveHostSettings(const std::string& iniFile, const CServerSettings& settings, std::string& error);

// Gives the manager `settings` and its home folder and log writer. `homeDir` ends with "/".
void ApplyHostSettings(const CServerSettings& settings, const std::string& homeDir, CTunnelArray& manager);

// The folder of the embedded store: [Backend] BackendFolder (relative to `homeDir`, which ends
// with "/"). When that folder holds no store of the instance and the interface is the local one,
// the store the local database kernel registered under the instance's name (strata create
// --register) is used instead, if its file is named after the instance; `note` then says so.
std::string BackendStoreFolder(const CServerSettings& settings, const std::string& homeDir, std::string& note);

// The network back-end's options: [common] DBIPAddress, [Backend] ServerUser, ServerPassword,
// MaxConnections, and ReadServers split at its commas (blanks around a name ignored). Also sets
// the process-wide cache limit of the network back-end from [Backend] CacheMegabytes.
StrataNetOptions BackendNetOptions(const CServerSettings& settings);
