// CDBArray: loading, publishing and looking up the catalogue (dbarray.h). The configuration
// readers are in dbarray_config.cpp.
#include "server/dbarray.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "backend/strata/strata_package.h"
#include "server/pager.h"
#include "backend/strata/strata_routines.h"
#include "berkit/bertrace.h"
#include "berkit/codepage.h"
#include "berkit/extended_exception.h"
#include "server/tunnelarray.h"

std::string DBFormatText(const char* fmt, ...) {
    char text[4096];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

bool DBNameEquals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

CDatabaseNode::~CDatabaseNode() = default;

std::string CDatabaseNode::GetColumnText(int column) const {
    switch (column) {
    case 0:
        return m_dbPath;
    case 1:
        return m_alias;
    case 2:
        if (m_syntaxOID == kOidUnimarc)
            return "UNIMARC(" + m_syntaxOID + ")";
        if (m_syntaxOID == kOidUsmarc)
            return "USMARC(" + m_syntaxOID + ")";
        return m_syntaxOID;
    case 3:
        return OperatorText(m_configured ? "已连接" : "未配置");
    case 4:
        return m_debugInfo;
    default:
        return std::string();
    }
}

bool LoadInterfaceLibrary(CInterface* iface, const char* libName, const char* instanceName,
                          std::string& error) {
    if (!iface || !libName) {
        error = "CInterface::LoadLibrary() error..., libname=(none)";
        return false;
    }
    if (iface->LoadLibraryA(libName, instanceName ? instanceName : "") == -1) {
        error = DBFormatText("CInterface::LoadLibrary() error..., libname=%s", libName);
        return false;
    }
    if (iface->GetAllProcAddress(error) == -1)
        return false;
    BerTrace("db dll load =%s\r\n", libName);
    return true;
}

CDBArray::CDBArray() = default;

CDBArray::~CDBArray() {
    // ~CVLArray deletes whatever m_array still points at: it must be empty by then.
    RemoveAll();
}

int CDBArray::Init(std::string& error) {
    if (!m_owner) {
        error = OperatorText("没有关联的配置部分");
        return -1;
    }
    const auto settings = m_owner->m_settings.Snapshot();
    if (!LoadInterfaceLibrary(&m_owner->m_interface, settings->m_interfaceLibrary.c_str(),
                              settings->m_instanceName.c_str(), error))
        return -1;
    return InitAllDatabase(error) != 0 ? -1 : 0;
}

int CDBArray::InitAllDatabase(std::string& error) {
    if (!m_owner) {
        error = OperatorText("没有关联的配置部分");
        return -1;
    }
    CMutexLock load(m_loadLock);
    m_ready = 0;
    NodeList nodes;
    const int result = LoadCatalogue(nodes, error);
    SwapIn(std::move(nodes));
    if (result == 0)
        m_ready = 1;
    return result;
}

int CDBArray::LoadCatalogue(NodeList& nodes, std::string& error) {
    try {
        if (m_connect.IsConnected())
            m_connect.EndChannel();
        const auto settings = m_owner->m_settings.Snapshot();
        PrepareDatabaseChannel(m_connect, settings->m_dbUser, settings->m_dbPassword,
                               &m_owner->m_interface);
        const std::string directory =
            DBNameEquals(settings->m_interfaceLibrary, "netchan32.dll") ? settings->m_serverAddress
                                                                         : std::string();
        std::vector<std::string> names;
        if (GetDBChildDirectory(names, m_connect, directory, error) < 0)
            THROW_EXTENDED(2, error);
        for (const std::string& name : names) {
            std::shared_ptr<CDatabaseNode> node;
            try {
                node = std::make_shared<CDatabaseNode>();
                nodes.push_back(node);
            } catch (const std::bad_alloc&) {
                break;
            }
            node->m_dbPath = name;
            BerTrace("add [%s]\r\n", name.c_str());
            if (!GetDatabaseConfig(node.get(), error)) {
                BerTrace("can't use [%s], cfgs-file error\r\n", name.c_str());
                node->m_configured = 0;
                node->m_debugInfo = error;
            }
        }
        if (!settings->m_showUnconfigured)
            std::erase_if(nodes, [](const auto& node) { return !node || node->m_configured == 0; });
        if (nodes.empty())
            THROW_EXTENDED(1, OperatorText("数据库未配置，没有可用的数据库"));
    } catch (extended_exception& e) {
        BerTrace("%s", e.GetErrorMessage());
        error = e.m_strMessage;  // the operator's text: no source file or line
        return -1;
    } catch (...) {
        BerTrace("CDBArray::Init() Unknown error!\r\n");
        error = "unknown error while loading the catalogue";
        return -1;
    }
    return 0;
}

void CDBArray::SwapIn(NodeList nodes) {
    std::vector<CDatabaseNode*> view;
    view.reserve(nodes.size());
    for (const auto& node : nodes)
        view.push_back(node.get());
    {
        CSingleLock lock(m_lock);
        m_array.swap(view);
        m_entries.swap(nodes);
    }
    // `nodes` now holds the old entries: they go here, outside the lock, unless a session
    // still holds one.
    nodes.clear();
    OnItemCountChanged(VKLVSICF_REPAINT);
}

void CDBArray::ForbidDBAccess() {
    CMutexLock load(m_loadLock);
    m_ready = 0;
    RemoveAll();
}

void CDBArray::RemoveAll() { SwapIn(NodeList()); }

int CDBArray::GetDBChildDirectory(std::vector<std::string>& names, CConnect& connect,
                                  const std::string& directory, std::string& error) {
    CBackendPager pager(connect, nullptr, nullptr);
    std::vector<std::string> found;
    const CPagerResult result = pager.Dir(directory, [&](const CPackage& page) {
        found.insert(found.end(), page.GetLines().begin(), page.GetLines().end());
        return true;
    });
    switch (result) {
    case CPagerResult::kDone:
        break;
    case CPagerResult::kLoginFailed:
        error = OperatorText("用户名/密码错误");
        return -1;
    case CPagerResult::kBroken:
        if (pager.GetCode() == kStrataUnreachable) {
            const std::string server = m_owner ? m_owner->m_settings.Snapshot()->m_serverAddress : std::string();
            error = DBFormatText(OperatorText("连接远程数据库 %s 失败").c_str(), server.c_str());
            return -1;
        }
        [[fallthrough]];
    default:
        error = pager.GetError();
        return -1;
    }
    for (const std::string& line : found) {
        BerTrace("%s\r\n", line.c_str());
        names.push_back(line);
    }
    error.clear();
    return static_cast<int>(names.size());
}

bool CDBArray::IsLegalDBName(const char* name, std::shared_ptr<const CDatabaseNode>& node) const {
    if (!name)
        return false;
    const std::string wanted(name);
    CSingleLock lock(m_lock);
    for (const auto& entry : m_entries) {
        if (!entry || entry->m_configured == 0)
            continue;
        // An empty alias names nothing: it must not make an empty name legal.
        if (DBNameEquals(entry->m_dbName, wanted) ||
            (!entry->m_alias.empty() && DBNameEquals(entry->m_alias, wanted))) {
            node = entry;
            return true;
        }
    }
    return false;
}

bool CDBArray::IsLegalDBName(const char* name, CDatabaseNode*& node) const {
    std::shared_ptr<const CDatabaseNode> found;
    if (!IsLegalDBName(name, found))
        return false;
    node = const_cast<CDatabaseNode*>(found.get());
    return true;
}

std::vector<std::shared_ptr<const CDatabaseNode>> CDBArray::GetEntries() const {
    CSingleLock lock(m_lock);
    return {m_entries.begin(), m_entries.end()};
}

CDatabaseNode* CDBArray::NewObject() {
    auto node = std::make_shared<CDatabaseNode>();
    {
        CSingleLock lock(m_lock);
        m_entries.push_back(node);
        m_array.push_back(node.get());
    }
    OnItemCountChanged(VKLVSICF_NOINVALIDATEALL);
    return node.get();
}

int CDBArray::GetColumnProp(int column, std::string& title, int& width) {
    static const struct {
        const char* title;
        int width;
    } kColumns[] = {{"数据库名", 140}, {"别名", 140}, {"MARC种类", 140}, {"状态", 80}, {"调试信息", 180}};
    if (column < 0 || column >= static_cast<int>(std::size(kColumns)))
        return -1;
    title = OperatorText(kColumns[column].title);
    width = kColumns[column].width;
    return 0;
}

int CDBArray::FitMenuText(IMenu*, CDatabaseNode*) { return 0; }

int CDBArray::OnCommand(unsigned id, CDatabaseNode*) {
    const char* text = id == 1000 ? "attribute" : (id == 1001 ? "delete" : nullptr);
    if (text && m_messageBox)
        m_messageBox->Show(nullptr, text, std::string(), VKMB_OK);
    return 0;
}
