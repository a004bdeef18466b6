// CInterface and CConnect: interface selection, channel state, argument checks, answer paging.
#include "backend/strata/strata_channel.h"

#include <malloc.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <thread>
#include <utility>
#include <cstring>

#include "backend/strata/strata_package.h"
#include "backend/strata/strata_store.h"

namespace {

constexpr int kMaxPath = 4096;

std::mutex g_folderLock;
std::string g_storeFolder;  // guarded by g_folderLock
bool g_folderSet = false;   // guarded by g_folderLock

// Store connections that no channel uses at the moment, kept for the next call of any channel on
// the same store file: at most kStrataMaxIdleChannels, the oldest closed first, and none longer
// than kStrataIdleSeconds (a reaper thread closes them). A connection holds its file open, so the
// file's inode cannot be reused while it waits: a different inode at the path means the file was
// replaced, and the connection is closed instead of reused.
// Closing idle connections matters beyond their own memory: while any connection of the process
// holds its lock on a store file, SQLite keeps the descriptors of the connections closed meanwhile
// open for reuse; only when none is left are they all closed.
using SteadyClock = std::chrono::steady_clock;

struct IdleChannel {
    std::string m_file;
    dev_t m_device;
    ino_t m_inode;
    std::unique_ptr<IStrataStore> m_store;
    SteadyClock::time_point m_since{};
};

std::atomic<int> g_busyChannels{0};  // connections taken out by channels now
std::atomic<int64_t> g_lastTrim{0};

}  // namespace

// jemalloc's control call, when the program is linked with it (null otherwise).
extern "C" int mallctl(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen) __attribute__((weak));

namespace {

// Gives freed heap memory back to the system, at most once a second: jemalloc purges every
// arena, glibc trims its heap.
void TrimFreedMemory() {
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch()).count();
    int64_t last = g_lastTrim.load();
    if (now - last < 1000 || !g_lastTrim.compare_exchange_strong(last, now)) return;
    if (mallctl != nullptr)
        mallctl("arena.4096.purge", nullptr, nullptr, nullptr, 0);  // 4096: every arena
    else
        malloc_trim(0);
}

class CChannelPool {
public:
    std::unique_ptr<IStrataStore> Take(const std::string& file, const struct stat& now) {
        std::unique_ptr<IStrataStore> found;
        std::vector<std::unique_ptr<IStrataStore>> stale;  // closed outside the lock
        {
            std::lock_guard<std::mutex> lock(m_lock);
            for (size_t i = m_idle.size(); i-- > 0;) {
                if (m_idle[i].m_file != file) continue;
                const bool same = m_idle[i].m_device == now.st_dev && m_idle[i].m_inode == now.st_ino;
                if (same && !found) found = std::move(m_idle[i].m_store);
                else if (!same) stale.push_back(std::move(m_idle[i].m_store));
                if (!m_idle[i].m_store) m_idle.erase(m_idle.begin() + std::ptrdiff_t(i));
            }
        }
        return found;
    }
    void Give(IdleChannel channel) {
        std::unique_ptr<IStrataStore> closed;  // closed outside the lock
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_reaper.joinable()) m_reaper = std::thread([this] { Reap(); });
        if (m_idle.size() >= kStrataMaxIdleChannels) {
            closed = std::move(m_idle.front().m_store);
            m_idle.erase(m_idle.begin());
        }
        channel.m_since = SteadyClock::now();
        m_idle.push_back(std::move(channel));
    }
    size_t IdleCount() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_idle.size();
    }
    // Waits, first come first served, for a place among the connections in use; after
    // kStrataBusyWaitSeconds it takes one over the limit.
    void Enter() {
        std::unique_lock<std::mutex> lock(m_gateLock);
        if (m_waiters.empty() && m_inUse < kStrataMaxBusyChannels) {
            ++m_inUse;
            return;
        }
        GateWaiter me;
        m_waiters.push_back(&me);
        if (!me.m_turn.wait_for(lock, std::chrono::seconds(kStrataBusyWaitSeconds), [&me] { return me.m_granted; })) {
            m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), &me));
            ++m_inUse;
        }
    }
    // Hands the place to the longest waiter, or frees it.
    void Leave() {
        std::lock_guard<std::mutex> lock(m_gateLock);
        if (!m_waiters.empty() && m_inUse <= kStrataMaxBusyChannels) {
            GateWaiter* next = m_waiters.front();
            m_waiters.pop_front();
            next->m_granted = true;
            next->m_turn.notify_one();
        } else {
            --m_inUse;
        }
    }

private:
    // Closes the connections idle for longer than kStrataIdleSeconds, and gives memory back once
    // no connection is in use. Runs for the life of the process.
    void Reap() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_wake.wait_for(lock, std::chrono::milliseconds(500));
            const auto limit = SteadyClock::now() - std::chrono::seconds(kStrataIdleSeconds);
            std::vector<IdleChannel> expired;
            for (size_t i = 0; i < m_idle.size();) {
                if (m_idle[i].m_since <= limit) {
                    expired.push_back(std::move(m_idle[i]));
                    m_idle.erase(m_idle.begin() + std::ptrdiff_t(i));
                } else {
                    ++i;
                }
            }
            if (expired.empty()) continue;
            lock.unlock();
            expired.clear();
            if (g_busyChannels.load() == 0) TrimFreedMemory();
            lock.lock();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    struct GateWaiter {
        std::condition_variable m_turn;
        bool m_granted = false;  // a leaving call handed its place over
    };
    std::mutex m_gateLock;
    std::deque<GateWaiter*> m_waiters;  // oldest first; guarded by m_gateLock
    int m_inUse = 0;                    // places held; guarded by m_gateLock
    std::vector<IdleChannel> m_idle;
    std::thread m_reaper;
};

// Never destroyed: channels may end during the process's exit; the reaper never stops.
CChannelPool& Pool() {
    static CChannelPool* pool = new CChannelPool;
    return *pool;
}

}  // namespace

size_t StrataIdleChannels() { return Pool().IdleCount(); }

std::string StrataStoreFile(const std::string& folder, const std::string& instanceName) {
    return (folder.empty() ? std::string(".") : folder) + "/" + instanceName + ".strata";
}

CInterface::CInterface() = default;
CInterface::~CInterface() = default;

void CInterface::SetStoreFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_folderLock);
    g_storeFolder = folder;
    g_folderSet = true;
}

std::string CInterface::GetStoreFolder() {
    std::lock_guard<std::mutex> lock(g_folderLock);
    if (g_folderSet) return g_storeFolder;
    const char* env = getenv("VELKAN_STRATA_DIR");
    return env ? env : ".";
}

std::shared_ptr<const CInterface::Selection> CInterface::Current() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_selection;
}

void CInterface::Select(Selection next) {
    next.m_prefix = next.m_row && next.m_row->m_engine->m_network ? next.m_net.m_address + "/" : std::string();
    auto made = std::make_shared<const Selection>(std::move(next));
    std::lock_guard<std::mutex> lock(m_lock);
    m_selection = std::move(made);
}

int CInterface::LoadLibraryA(const char* fileName, const char* instanceName) {
    Selection next = *Current();
    next.m_row = nullptr;
    const std::string name = fileName ? fileName : "";
    const std::string instance = instanceName ? instanceName : "";
    const StrataInterfaceRow* row = StrataFindInterface(name);
    if (row == nullptr) {
        next.m_loadError = "unknown back-end interface [" + name + "]: known are localcore32.dll, netchan32.dll, netchan32u.dll";
        Select(std::move(next));
        return -1;
    }
    if (instance.empty() || instance.find('/') != std::string::npos || instance == "." || instance == "..") {
        next.m_loadError = "bad instance name [" + instance + "] for interface " + name;
        Select(std::move(next));
        return -1;
    }
    next.m_row = row;
    next.m_instance = instance;
    next.m_loadError.clear();
    Select(std::move(next));
    return 0;
}

void CInterface::SetNetworkOptions(const StrataNetOptions& options) {
    Selection next = *Current();
    next.m_net = options;
    Select(std::move(next));
}

StrataLocation CInterface::Location(const Selection& s) { return s.m_row->m_engine->m_locate(s.m_instance, s.m_net); }

int CInterface::GetAllProcAddress(std::string& error) {
    const auto s = Current();
    if (s->m_row == nullptr) {
        error = s->m_loadError.empty() ? "no back-end interface loaded" : s->m_loadError;
        return -1;
    }
    const StrataEngineRow& engine = *s->m_row->m_engine;
    if (!engine.m_network) return 0;
    const StrataLocation where = Location(*s);
    StrataStatus st;
    if (engine.m_open(where, false, st)) return 0;
    // A server that does not answer may come later; anything else is a setting to fix.
    if (engine.m_mayAnswerLater && engine.m_mayAnswerLater(where)) return 0;
    error = st.m_text;
    return -1;
}

std::unique_ptr<IStrataStore> CInterface::OpenChannel(int& code, std::string& error) const {
    const auto s = Current();
    if (s->m_row == nullptr) {
        code = kStrataChannelBroken;
        error = StrataErrorMessage(code, "no back-end interface loaded");
        return nullptr;
    }
    StrataStatus st;
    auto store = s->m_row->m_engine->m_open(Location(*s), false, st);
    if (!store) {
        code = st.m_code;
        error = st.m_text;
    }
    return store;
}

void CInterface::ReleaseGate() { Pool().Leave(); }

std::unique_ptr<IStrataStore> CInterface::TakeChannel(int& code, std::string& error, std::string& file, dev_t& device,
                                                      ino_t& inode, bool& gated) const {
    gated = false;
    const auto s = Current();
    if (s->m_row == nullptr || s->m_row->m_engine->m_network) return OpenChannel(code, error);
    Pool().Enter();
    gated = true;
    file = StrataStoreFile(GetStoreFolder(), s->m_instance);
    struct stat info {};
    if (stat(file.c_str(), &info) == 0) {
        device = info.st_dev;
        inode = info.st_ino;
        if (auto store = Pool().Take(file, info)) return store;
    }
    auto store = OpenChannel(code, error);
    if (!store) {
        Pool().Leave();
        gated = false;
    }
    // The identity of the file the new connection opened (it holds it open from now on).
    if (store && stat(file.c_str(), &info) == 0) {
        device = info.st_dev;
        inode = info.st_ino;
    } else {
        file.clear();  // not to be pooled
    }
    return store;
}

CConnect::CConnect() = default;

CConnect::~CConnect() { EndChannel(); }

void CConnect::SetInterface(CInterface* iface) { m_interface = iface; }

int CConnect::PrepareChannel(void* reserved) {
    if (reserved != nullptr) return Fail(kStrataBadArgument, "PrepareChannel takes a null argument");
    EndChannel();
    if (m_interface == nullptr) return Fail(kStrataChannelBroken, "no interface set");
    m_prepared = true;  // Acquire checks that the store can be reached
    if (!Acquire()) {
        m_prepared = false;
        return -1;
    }
    Settle();
    m_rights = 0;
    m_lastCode = 0;
    m_lastText.clear();
    return 0;
}

bool CConnect::Acquire() {
    if (!m_prepared) {
        Fail(kStrataChannelBroken, "channel not prepared");
        return false;
    }
    if (m_channel) return true;
    int code = 0;
    std::string error;
    std::string file;
    dev_t device = 0;
    ino_t inode = 0;
    bool gated = false;
    std::unique_ptr<IStrataStore> store = m_interface->TakeChannel(code, error, file, device, inode, gated);
    if (!store) {
        m_lastCode = code;
        m_lastText = error;
        return false;
    }
    ++g_busyChannels;
    std::lock_guard<std::mutex> lock(m_channelLock);
    m_gated = gated;
    m_channel = std::move(store);
    m_channelFile = std::move(file);
    m_channelDevice = device;
    m_channelInode = inode;
    return true;
}

void CConnect::Settle() {
    if (m_keepChannel) return;
    std::unique_ptr<IStrataStore> old;
    std::string file;
    bool gated = false;
    {
        std::lock_guard<std::mutex> lock(m_channelLock);
        old = std::move(m_channel);
        file = std::move(m_channelFile);
        m_channelFile.clear();
        gated = std::exchange(m_gated, false);
    }
    if (!old) return;
    if (!file.empty()) {
        old->Idle();
        Pool().Give(IdleChannel{std::move(file), m_channelDevice, m_channelInode, std::move(old), {}});
    }
    old.reset();
    --g_busyChannels;
    if (gated) CInterface::ReleaseGate();  // after the connection is back for the next call
}

void CConnect::EndPages() {
    m_keepChannel = false;
    Settle();
}

int CConnect::IsConnected() const { return m_prepared ? 1 : 0; }

void CConnect::EndChannel() {
    m_prepared = false;
    m_keepChannel = false;
    m_rights = 0;
    Settle();
}

void CConnect::API_Cancel() {
    std::lock_guard<std::mutex> lock(m_channelLock);
    if (m_channel) m_channel->Interrupt();
}

void CConnect::GetLastError(int& code, std::string& text) const {
    code = m_lastCode;
    text = m_lastText;
}

int CConnect::Fail(int code, const std::string& text) {
    m_lastCode = code;
    m_lastText = StrataErrorMessage(code, text);
    return -1;
}

int CConnect::Fail(const StrataStatus& st) {
    m_lastCode = st.m_code;
    m_lastText = st.m_text;
    return -1;
}

int CConnect::Succeed(int result) {
    m_lastCode = 0;
    m_lastText.clear();
    return result;
}

bool CConnect::CheckPath(const char* path, int pathLen, std::string& out) {
    if (path == nullptr || pathLen < 1 || pathLen > kMaxPath) {
        Fail(kStrataBadArgument, "path missing or longer than " + std::to_string(kMaxPath));
        return false;
    }
    if (strnlen(path, size_t(pathLen)) != size_t(pathLen - 1)) {
        Fail(kStrataBadArgument, "path length does not match its terminating zero");
        return false;
    }
    out.assign(path, size_t(pathLen - 1));
    return true;
}

bool CConnect::StripPrefix(std::string& path) {
    const std::string prefix = m_interface ? m_interface->GetPathPrefix() : std::string();
    if (prefix.empty()) return true;
    if (path.size() < prefix.size() || strncasecmp(path.c_str(), prefix.c_str(), prefix.size()) != 0) {
        Fail(kStrataBadPath, "[" + path + "] is not a path of the server " + prefix.substr(0, prefix.size() - 1));
        return false;
    }
    path.erase(0, prefix.size());
    return true;
}

bool CConnect::CheckBuffer(const char* buffer, int bufferSize) {
    if (buffer == nullptr || bufferSize < int(kPackageHeaderSize)) {
        Fail(kStrataBufferTooSmall, "answer buffer of " + std::to_string(bufferSize) + " octets");
        return false;
    }
    return true;
}

bool CConnect::CheckReady(int right) {
    if (!m_prepared) {
        Fail(kStrataChannelBroken, "channel not prepared");
        return false;
    }
    if (m_rights == 0) {
        Fail(kStrataLoginRequired, "");
        return false;
    }
    if ((m_rights & right) == 0) {
        Fail(kStrataAccessDenied, right == kStrataRightWrite ? "the account has no write right"
                                                             : "the account has no read right");
        return false;
    }
    if (!Acquire()) return false;
    m_channel->BeginCall();
    m_channel->ReadAfter(m_writePosition);
    return true;
}

int CConnect::API_ChDir(const char* user, const char* password, const char* path, int pathLen, char* buffer,
                        int bufferSize) {
    std::string p;
    CallScope call(*this);
    if (!CheckPath(path, pathLen, p) || !CheckBuffer(buffer, bufferSize)) return -1;
    if (!m_prepared) return Fail(kStrataChannelBroken, "channel not prepared");
    if (user == nullptr || password == nullptr) return Fail(kStrataBadArgument, "user name or password missing");
    if (!Acquire()) return -1;
    m_channel->BeginCall();
    StrataStatus st;
    int rights = 0;
    m_rights = 0;
    if (!m_channel->Login(user, password, rights, st)) return Fail(st);
    if (rights == 0) return Fail(kStrataLoginFailed, std::string("account [") + user + "] has no rights");
    CPackageWriter writer(kPackageLines, size_t(bufferSize));
    const std::string line = std::string(user) + ((rights & kStrataRightWrite) ? " rw" : " r");
    if (!writer.Add(line)) return Fail(kStrataBufferTooSmall, "login answer");
    m_rights = rights;
    return Succeed(writer.Finish("", buffer));
}

int CConnect::API_Dir(const char* path, int pathLen, char* buffer, int bufferSize) {
    std::string p;
    CallScope call(*this);
    if (!CheckPath(path, pathLen, p) || !CheckBuffer(buffer, bufferSize) || !CheckReady(kStrataRightRead)) return -1;
    const std::string prefix = m_interface ? m_interface->GetPathPrefix() : std::string();
    // The root: "" locally; "", the server address or the prefix through a network interface.
    const bool root = p.empty() || (!prefix.empty() && strncasecmp(p.c_str(), prefix.c_str(), p.size()) == 0 &&
                                    p.size() + 1 >= prefix.size());
    if (!root) return Fail(kStrataBadPath, "[" + p + "] is not a directory (the root is \"" + prefix + "\")");
    std::vector<StrataDatabaseInfo> dbs;
    StrataStatus st;
    if (!m_channel->ListDatabases(dbs, false, st)) return Fail(st);
    CPackageWriter writer(kPackageLines, size_t(bufferSize));
    for (const StrataDatabaseInfo& db : dbs) {
        if (!writer.Add(prefix + db.m_name)) return Fail(kStrataBufferTooSmall, "database listing");
    }
    return Succeed(writer.Finish("", buffer));
}
