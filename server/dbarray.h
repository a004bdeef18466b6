#pragma once
// CDBArray / CDatabaseNode: the catalogue of back-end databases offered to Z39.50 clients, read
// from the back-end through the catalogue's own channel with each database's use.cfg,
// property.cfg and zbrief.cfg, and shown in the host's database list view.
// Ownership: the catalogue's entries are shared (std::shared_ptr): a load builds a complete new
// list privately and swaps it in under the list lock; an entry a session obtained through the
// shared_ptr form of IsLegalDBName stays alive until the session drops it. Entries are read-only
// once listed. m_array (the list view's view of the entries) does not own them here.
// Thread safety: Init, InitAllDatabase and ForbidDBAccess: host thread (loads are serialised);
// IsLegalDBName, GetEntries and the list-view callbacks: any thread.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend/marc/cfgtrees.h"
#include "backend/strata/strata_channel.h"
#include "berkit/marcglobal.h"
#include "platform/critsec.h"
#include "platform/mutex.h"
#include "ui/toolkit/messagebox.h"
#include "ui/vlarraytempl.h"

class CTunnelArray;
class CCqlIndexMap;

// Record syntax OIDs (dotted form) the catalogue names.
constexpr const char* kOidUnimarc = "1.2.840.10003.5.1";
constexpr const char* kOidUsmarc = "1.2.840.10003.5.10";

// One database of the catalogue. Filled by the load before it is listed; read-only afterwards.
class CDatabaseNode {
public:
    CDatabaseNode() = default;
    CDatabaseNode(const CDatabaseNode&) = delete;
    CDatabaseNode& operator=(const CDatabaseNode&) = delete;
    virtual ~CDatabaseNode();

    // List-view text: 0 path, 1 alias, 2 "UNIMARC(oid)" / "USMARC(oid)" / the OID, 3 "已连接" or
    // "未配置", 4 the debug text; "" for other columns. Any thread.
    std::string GetColumnText(int column) const;
    int GetImageIndex() const { return 0; }

    std::string m_dbName;                   // part of m_dbPath after its last "/"
    std::string m_alias;                    // from property.cfg
    std::string m_syntaxOID = kOidUnimarc;  // record syntax of the records
    // Which fields of its records hold text: MARC 21 for USMARC databases, UNIMARC otherwise.
    CMarcFormat MarcFormat() const {
        return m_syntaxOID == kOidUsmarc ? CMarcFormat::kMarc21 : CMarcFormat::kUnimarc;
    }
    std::string m_dbPath;                   // back-end path as listed; prefix of all its paths
    std::map<std::string, std::string> m_keys;  // use attribute (decimal text) -> back-end key
    std::unique_ptr<CRightTree> m_briefTree;    // brief-record definition; null: none
    std::shared_ptr<const CCqlIndexMap> m_cqlMap;  // SRU's CQL index map (cfgs/cql.cfg); null: default
    int m_configured = 1;                   // 1 usable; 0 configuration unreadable
    std::string m_debugInfo;                // error text of the failed configuration read
};

// Loads the back-end interface library into `iface`. False with the reason in `error`.
bool LoadInterfaceLibrary(CInterface* iface, const char* libName, const char* instanceName,
                          std::string& error);

class CDBArray : public CVLArray<CDatabaseNode> {
public:
    CDBArray();
    // Empties the list (ending no channel: m_connect closes itself).
    ~CDBArray() override;

    // Loads the interface library, then the catalogue. 0, or -1 with `error`. Host thread.
    int Init(std::string& error);
    // (Re)loads the catalogue from the back-end; the new list replaces the old one at once when
    // the load ends (also a failed load: then with the entries made so far). 0, or -1 with
    // `error`. On success `error` may still hold the text of the last database that failed.
    // Host thread.
    int InitAllDatabase(std::string& error);
    // m_ready = 0 and an empty list. Host thread.
    void ForbidDBAccess();
    // Deletes (releases) every entry. Hides CVLArray::RemoveAll, which must never be called on a
    // CDBArray: here m_array does not own the entries. Any thread.
    void RemoveAll();

    // Child directories of a back-end directory into `names` (appended). Their count, or -1 with
    // `error`. Host thread (uses `connect`, which the caller owns).
    int GetDBChildDirectory(std::vector<std::string>& names, CConnect& connect,
                            const std::string& directory, std::string& error);

    // First usable entry whose name or alias equals `name` without regard to case. True and
    // `node` set; false with `node` untouched. Any thread. The shared form keeps the entry alive
    // as long as `node` holds it (use it in sessions).
    bool IsLegalDBName(const char* name, std::shared_ptr<const CDatabaseNode>& node) const;
    // Raw form: the pointer stays valid only until the next InitAllDatabase, ForbidDBAccess or
    // RemoveAll; callers that may outlive a reload must use the shared form.
    bool IsLegalDBName(const char* name, CDatabaseNode*& node) const;
    // A snapshot of the listed entries in order. Any thread.
    std::vector<std::shared_ptr<const CDatabaseNode>> GetEntries() const;

    // A new empty entry appended to the list (owned by the catalogue). Any thread.
    CDatabaseNode* NewObject() override;
    int GetColumnProp(int column, std::string& title, int& width) override;
    int FitMenuText(IMenu* menu, CDatabaseNode* item) override;
    // 1000 shows "attribute", 1001 "delete" (through m_messageBox when set). 0.
    int OnCommand(unsigned id, CDatabaseNode* item) override;

    CConnect m_connect;                   // the catalogue's own channel; used by loads only
    CTunnelArray* m_owner = nullptr;      // settings; set by the owner before Init
    std::atomic<int> m_ready{0};          // 1 after a load without error
    IMessageBox* m_messageBox = nullptr;  // for OnCommand; not owned, may be null

private:
    using NodeList = std::vector<std::shared_ptr<CDatabaseNode>>;
    int LoadCatalogue(NodeList& nodes, std::string& error);
    // Publishes `nodes` as the list; the old entries are released outside the lock.
    void SwapIn(NodeList nodes) EXCLUDES(m_lock);

    // Configuration readers (dbarray_config.cpp); each returns false with `error` set.
    bool GetDatabaseConfig(CDatabaseNode* node, std::string& error);
    bool GetDatabaseKeysMap(CDatabaseNode* node, std::string& error);
    bool GetDatabaseProperties(CDatabaseNode* node, std::string& error);
    bool GetDatabaseBriefRecordDefine(CDatabaseNode* node, std::string& error);
    // cfgs/cql.cfg when the database has one (else the default map applies). False when it is unreadable.
    bool GetDatabaseCqlMap(CDatabaseNode* node, std::string& error);
    bool GetCfgFileFromDatabase(const std::string& path, std::string& text, std::string& error);

    NodeList m_entries GUARDED_BY(m_lock);  // owns the listed entries; same order as m_array
    CMutex m_loadLock;                      // serialises loads and m_connect
};

// printf-style formatting of the catalogue's messages (texts are cut at 4095 octets).
std::string DBFormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// ASCII case-insensitive equality of two names (octets above 0x7F compare exactly).
bool DBNameEquals(const std::string& a, const std::string& b);
