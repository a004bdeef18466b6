#pragma once
// The back-end client's configuration as the setup program uses it: registered interface
// libraries and the network interface's host list, both kept in the configuration folder
// (strata-interfaces.ini, one section per library; netchan32-hosts.txt, one host per line),
// written atomically. CfgStrataIntrefaceDLL opens a form that edits the host list and tests a
// connection to a back-end server.
// Thread safety: none; the setup program's one thread.

#include <string>
#include <vector>

// Controls of the configuration form.
enum { IDC_HOST_LIST = 3001, IDC_HOST_EDIT = 3002, IDC_HOST_ADD = 3003, IDC_HOST_REMOVE = 3004,
       IDC_HOST_TEST = 3005, IDC_HOST_STATUS = 3006 };

// Registers `library` ("netchan32.dll", "localcore32.dll") with its network flag, display name
// and the folder of the programs that use it. 0, or -1 when the file cannot be written.
int RegisterStrataInterface(const std::string& library, int network, const std::string& displayName,
                            const std::string& programFolder);

// Appends the hosts that the list does not hold yet (compared without regard to case); empty
// names and names with spaces or line breaks are skipped. 0, or -1 when the list cannot be written.
int AppendNETCHAN32Hosts(int reserved, const std::vector<std::string>& hosts);

// The host list, in its order.
std::vector<std::string> ReadNETCHAN32Hosts();
// Replaces the host list. 0 or -1.
int WriteNETCHAN32Hosts(const std::vector<std::string>& hosts);

// Opens the configuration form of `library` for `instanceName`: the host list to edit and a
// connection test. 0 when the form closed (saved or cancelled); -1 with `errorText` when the
// library is not registered or no form can be shown.
int CfgStrataIntrefaceDLL(const std::string& programFolder, const std::string& library,
                          const std::string& instanceName, std::string& errorText);

// Tries a TCP connection to "host" or "host:port" (default port 5432, the network back-end's),
// waiting at most `timeoutMs`. True when it connects; `report` says what happened either way
// (connected, refused, timed out, unknown host).
bool TestBackendConnection(const std::string& hostAndPort, int timeoutMs, std::string& report);

// The files in the configuration folder.
std::string StrataInterfacesFile();
std::string Netchan32HostsFile();
