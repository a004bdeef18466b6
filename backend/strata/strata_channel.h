#pragma once
// The back-end channel library: CInterface selects and loads a back-end interface by file name,
// CConnect is one channel to the back-end (paths, searches, record reads and writes, login).
// Answers are packages (see strata_package.h). Through a network interface every path starts with
// the server address and "/" (the prefix), and the listing gives the database paths with it.
// Path namespace, after the prefix, relative to a database path db:
//   "" (or the address)     API_Dir: one line per database path
//   db/cfgs/FILE            API_Search style 3: the file, one zero-ended line per block (pages)
//   db/KEY/TERM             API_Search style 5: one line per hit, the 7-digit record number (pages)
//   db/KEY/TERM             API_Search style 6 (7): the key's index terms from TERM on (below TERM,
//                           descending), one line each: the record count, a tab, the UTF-8 term
//                           (pages; the continuation counts the terms answered before)
//   db/KEY/NNNNNNN-NNNNNNN  API_Search style 8: the key's sort values (strata_sortkeys.h) of the
//   db/KEY/NNNNNNN,...      records in the range, or of the listed ones (1 to
//                           kStrataMaxBatchRecords, ascending): the key's kind, then one line per
//                           record that has a value, ascending (pages; the continuation is the
//                           last record answered)
//   db/ctlno/NNNNNNN        API_Search style 2 or 3: one block, 9-octet header "#NNNNNNN " then
//                           the Diriv text and a zero octet
//   db/ctlno/NNNNNNN,NNNNNNN,...  (2 to kStrataMaxBatchRecords numbers) API_Search style 2 or 3:
//                           one block per number in the order asked, as above, all read from one
//                           snapshot; a number without a record gets its header and the zero
//                           octet alone (10 octets). Pages: the continuation is the position in
//                           the list of the first record not yet answered; the first record
//                           must fit the buffer (else kStrataBufferTooSmall)
//   db/ctlno/NNNNNNN        API_Write style 1 insert, 3 replace, 5 delete (data = Diriv text)
// Next page: the first path + "||" + the continuation, style | 0x8000.
// Thread safety: a CConnect is used by one thread at a time, except API_Cancel, which any thread
// may call while another thread is inside a call. CInterface is read-only once loaded.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend/strata/strata_errors.h"

// Record numbers one record-list path (db/ctlno/NNNNNNN,NNNNNNN,...) may name.
constexpr int kStrataMaxBatchRecords = 100;
// Store connections kept open for reuse between calls (process-wide), and for how long at most.
constexpr size_t kStrataMaxIdleChannels = 8;
constexpr int kStrataIdleSeconds = 2;
// Connections to store files in use at once (process-wide). A call past it waits until one is
// given back, so that a busy server reuses a few warm connections instead of opening and closing
// one per call; after kStrataBusyWaitSeconds it goes on anyway.
constexpr int kStrataMaxBusyChannels = 8;
constexpr int kStrataBusyWaitSeconds = 10;

// How many store connections wait for reuse now. Any thread.
size_t StrataIdleChannels();

class IStrataStore;
struct StrataInterfaceRow;
struct StrataStatus;

// Settings of the network interfaces: the server ("host" or "host:port"), the server's own role
// and password (empty: libpq's defaults, PGUSER, PGPASSFILE, a service file), the cap of server
// connections of this process.
struct StrataNetOptions {
    std::string m_address;
    std::string m_user;
    std::string m_password;
    int m_maxConnections = 16;
    // Hot standbys of the server ("host" or "host:port") that serve searches and record reads.
    std::vector<std::string> m_readServers;
};

// The figures of one network back-end server's connection pool in this process, for /metrics.
struct StrataServerStats {
    std::string m_address;
    bool m_standby = false;
    int m_open = 0, m_inUse = 0;
    uint64_t m_waits = 0;       // leases that waited for a free connection
    uint64_t m_roundTrips = 0;  // answers of the server waited for (statements sent together count once)
    uint64_t m_searches = 0;
};
// Every live pool, primaries and standbys (none in embedded mode). Any thread.
std::vector<StrataServerStats> StrataNetworkServerStats();

class CInterface {
public:
    CInterface();
    ~CInterface();
    CInterface(const CInterface&) = delete;
    CInterface& operator=(const CInterface&) = delete;

    // Selects the interface by its file name ("localcore32.dll": the embedded store file of the
    // instance in the store folder; "netchan32.dll", "netchan32u.dll": the PostgreSQL database
    // named by the instance on the server of SetNetworkOptions). Returns 0, or -1 for an unknown
    // interface (text via GetAllProcAddress).
    int LoadLibraryA(const char* fileName, const char* instanceName);
    // 0 when the loaded interface is usable; -1 with the reason in `error`. A network interface
    // logs in to its server once: a refused role or password, a missing database or store is -1;
    // a server that does not answer is 0 (channels get 66 until it does).
    int GetAllProcAddress(std::string& error);
    // Before LoadLibraryA of a network interface; the host passes its [common] DBIPAddress and
    // [Backend] ServerUser, ServerPassword, MaxConnections.
    void SetNetworkOptions(const StrataNetOptions& options);
    // "" for a local interface, the server address and "/" for a network one.
    std::string GetPathPrefix() const { return Current()->m_prefix; }

    // The folder that holds the embedded stores. Default: the environment variable
    // VELKAN_STRATA_DIR when set, else the current folder. Any thread; affects later loads.
    static void SetStoreFolder(const std::string& folder);
    static std::string GetStoreFolder();

    // For CConnect: a new connection to the store, owned by the caller; null with code and text.
    std::unique_ptr<IStrataStore> OpenChannel(int& code, std::string& error) const;
    // A connection that an ended channel left for reuse, or else a new one; `file`, `device` and
    // `inode` name the store file it holds open (file empty: not to be given back for reuse).
    // `gated`: the connection counts against kStrataMaxBusyChannels until ReleaseGate.
    std::unique_ptr<IStrataStore> TakeChannel(int& code, std::string& error, std::string& file, dev_t& device,
                                              ino_t& inode, bool& gated) const;
    static void ReleaseGate();
    bool IsLoaded() const { return Current()->m_row != nullptr; }

private:
    // What LoadLibraryA and SetNetworkOptions chose. Each change replaces the whole selection, so
    // channels opening on other threads while the host selects again (a reconnect from the
    // console) see either the old or the new one, never a mix or a freed string.
    struct Selection {
        const StrataInterfaceRow* m_row = nullptr;  // null until a successful LoadLibraryA
        std::string m_instance;
        std::string m_loadError;
        StrataNetOptions m_net;
        std::string m_prefix;
    };
    std::shared_ptr<const Selection> Current() const;
    void Select(Selection next);
    static struct StrataLocation Location(const Selection& s);

    mutable std::mutex m_lock;  // guards the pointer m_selection
    std::shared_ptr<const Selection> m_selection = std::make_shared<const Selection>();
};

class CConnect {
public:
    CConnect();
    ~CConnect();
    CConnect(const CConnect&) = delete;
    CConnect& operator=(const CConnect&) = delete;

    // `iface` must outlive the channel (or the next SetInterface / EndChannel).
    void SetInterface(CInterface* iface);
    // A channel holds a store connection only during a call (and between the pages of a hit
    // list): otherwise the connection waits in a process-wide pool for the next call of any
    // channel, at most kStrataMaxIdleChannels of them and none longer than kStrataIdleSeconds,
    // so that idle associations hold no connection, descriptor or cache of the store. When the
    // last one closes, freed heap memory goes back to the system.
    // Opens the channel (ends an open one first). The argument must be null. 0, or -1 with the
    // error (66 store unreachable, 5 no interface). The channel starts logged out.
    int PrepareChannel(void* reserved);
    int IsConnected() const;
    // Ends the channel.
    void EndChannel();

    // All calls: pathLen is the path length including its terminating zero; the answer is a
    // package written into buffer (never more than bufferSize octets). Result -1 on error (code
    // and text via GetLastError), else the answer's length. Every call before a successful
    // API_ChDir fails with 63.
    int API_Dir(const char* path, int pathLen, char* buffer, int bufferSize);
    int API_Search(const char* path, int pathLen, char* buffer, int bufferSize, int style);
    // Logs the channel in; > 0 when user and password are accepted (the answer holds one line
    // with the user name and rights), else -1 with kStrataLoginFailed. `path` may be any path.
    int API_ChDir(const char* user, const char* password, const char* path, int pathLen,
                  char* buffer, int bufferSize);
    // Insert (1), replace (3) or delete (5) the record of a db/ctlno/NNNNNNN path. For insert and
    // replace `data` is the Diriv text (dataLen octets, a trailing zero allowed) whose 001 must
    // hold the path's number. `flags` is reserved (callers pass 1). Returns 1 when written.
    int API_Write(const char* path, const char* data, int dataLen, char* buffer, int bufferSize,
                  int style, int flags);
    // Ends a call in progress on this channel (it fails with kStrataCancelled). Any thread.
    void API_Cancel();
    // Gives up the rest of a hit list being read page by page: the store connection kept for the
    // next page goes back to the pool (a later page request computes the list again).
    void EndPages();
    // Code and text of the last failed call (0 and "" after a successful one).
    void GetLastError(int& code, std::string& text) const;

    std::string m_user;      // set by the system; used by API_ChDir callers
    std::string m_password;

private:
    int Fail(int code, const std::string& text);
    int Fail(const StrataStatus& st);
    int Succeed(int result);
    bool CheckPath(const char* path, int pathLen, std::string& out);
    // Removes the interface's path prefix from `path`; false (code 10) when it is not there.
    bool StripPrefix(std::string& path);
    bool CheckBuffer(const char* buffer, int bufferSize);
    bool CheckReady(int right);
    // Takes a store connection for the call unless the channel still holds one; false with the
    // error set when the store cannot be reached.
    bool Acquire();
    // Gives the connection back to the pool unless the store keeps state for the next page.
    void Settle();
    // Settles when a public call returns, whatever way it returns.
    struct CallScope {
        explicit CallScope(CConnect& c) : m_c(c) { m_c.m_keepChannel = false; }
        ~CallScope() { m_c.Settle(); }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;
        CConnect& m_c;
    };
    int SearchFile(const std::string& db, const std::string& file, const std::string& cont, char* buffer,
                   int bufferSize);
    int SearchRecord(const std::string& db, int64_t number, char* buffer, int bufferSize);
    int SearchRecords(const std::string& db, const std::vector<int64_t>& numbers, const std::string& cont,
                      char* buffer, int bufferSize);
    int SearchHits(const std::string& db, const std::string& key, const std::string& term,
                   const std::string& cont, char* buffer, int bufferSize);
    int SearchTerms(const std::string& db, const std::string& key, const std::string& term, bool before,
                    const std::string& cont, char* buffer, int bufferSize);
    int SearchSortValues(const std::string& db, const std::string& key, const std::string& spec,
                         const std::string& cont, char* buffer, int bufferSize);

    CInterface* m_interface = nullptr;
    std::unique_ptr<IStrataStore> m_channel;
    mutable std::mutex m_channelLock;  // guards m_channel's lifetime against API_Cancel
    std::string m_channelFile;         // the store file m_channel holds open ("" not reusable)
    bool m_prepared = false;           // PrepareChannel succeeded, EndChannel not called since
    bool m_keepChannel = false;        // the store keeps a hit list for this channel's next page
    bool m_gated = false;              // m_channel counts against kStrataMaxBusyChannels
    dev_t m_channelDevice = 0;
    ino_t m_channelInode = 0;
    int m_rights = 0;  // kStrataRight* bits of the logged-in account; 0 = not logged in
    std::string m_writePosition;  // of this channel's last write, for reads from standbys
    int m_lastCode = 0;
    std::string m_lastText;
};
