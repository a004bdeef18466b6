// CDBArray's configuration readers: use.cfg (search keys), property.cfg (record syntax, alias)
// and zbrief.cfg (brief-record definition) of one database, read page by page through the
// catalogue's channel.
#include <new>

#include "backend/strata/strata_package.h"
#include "server/pager.h"
#include "backend/strata/strata_routines.h"
#include "berkit/bertrace.h"
#include "berkit/codepage.h"
#include "server/dbarray.h"
#include "server/propertytree.h"
#include "server/sru/cqlquery.h"
#include "server/tunnelarray.h"


bool CDBArray::GetDatabaseConfig(CDatabaseNode* node, std::string& error) {
    if (!node)
        return false;
    if (!GetDatabaseKeysMap(node, error))
        return false;
    if (!GetDatabaseProperties(node, error)) {
        if (node->m_syntaxOID.empty()) {
            BerTrace("no OID defined [%s]\r\n", error.c_str());
            node->m_syntaxOID = kOidUnimarc;
        }
        if (node->m_alias.empty())
            BerTrace("no alias defined [%s]\r\n", node->m_dbPath.c_str());
    }
    if (!GetDatabaseBriefRecordDefine(node, error))
        BerTrace("no brief record defined [%s]--[%s]\r\n", node->m_dbPath.c_str(), error.c_str());
    if (!GetDatabaseCqlMap(node, error))
        BerTrace("CQL index map not used [%s]--[%s]\r\n", node->m_dbPath.c_str(), error.c_str());
    const size_t slash = node->m_dbPath.rfind('/');
    if (slash != std::string::npos && slash + 1 < node->m_dbPath.size())
        node->m_dbName = node->m_dbPath.substr(slash + 1);
    else
        node->m_dbName = node->m_dbPath;
    return true;
}

bool CDBArray::GetDatabaseKeysMap(CDatabaseNode* node, std::string& error) {
    if (!node)
        return false;
    const std::string path = node->m_dbPath + "/cfgs/use.cfg";
    std::string text;
    if (!GetCfgFileFromDatabase(path, text, error)) {
        error = DBFormatText("Error [%s]", path.c_str());
        return false;
    }
    CUseTree tree;
    try {
        if (tree.BuildTree(text) == -1) {
            error = DBFormatText("Error Build [%s]", path.c_str());
            return false;
        }
    } catch (const CError& e) {
        error = DBFormatText("Error Build [%s] : %s", path.c_str(), e.GetMessage().c_str());
        return false;
    } catch (...) {
        error = DBFormatText("Error Build [%s]", path.c_str());
        return false;
    }
    for (const CUseEntry& entry : tree.GetEntries()) {
        BerTrace("name=[%s], oid=[%s] \r\n", entry.m_name.c_str(), entry.m_oid.c_str());
        if (!entry.m_oid.empty())
            node->m_keys[entry.m_oid] = entry.m_name;  // a later entry replaces an earlier one
    }
    node->m_configured = 1;
    return true;
}

bool CDBArray::GetDatabaseProperties(CDatabaseNode* node, std::string& error) {
    if (!node)
        return false;
    const std::string path = node->m_dbPath + "/cfgs/property.cfg";
    std::string text;
    if (!GetCfgFileFromDatabase(path, text, error)) {
        error += path;
        return false;
    }
    try {
        CPropertyTree tree;
        if (tree.BuildTree(text) == -1)
            return false;
        const _CCTCell* root = tree.GetRoot();
        for (size_t i = 0; i < root->GetChildCount(); ++i) {
            const auto* cell = dynamic_cast<const CPropertyCell*>(root->GetChild(i));
            if (!cell)
                continue;
            BerTrace("type=[%s], value=[%s] \r\n", cell->m_type.c_str(), cell->m_value.c_str());
            if (DBNameEquals(cell->m_type, "marcsytax oid"))
                node->m_syntaxOID = cell->m_value;
            else if (DBNameEquals(cell->m_type, "alias"))
                node->m_alias = cell->m_value;
        }
    } catch (...) {
        error = DBFormatText("Error cfg file [%s]", path.c_str());
        return false;
    }
    return true;
}

bool CDBArray::GetDatabaseBriefRecordDefine(CDatabaseNode* node, std::string& error) {
    if (!node)
        return false;
    const std::string path = node->m_dbPath + "/cfgs/zbrief.cfg";
    auto fail = [node]() {
        node->m_briefTree.reset();
        return false;
    };
    std::string text;
    if (!GetCfgFileFromDatabase(path, text, error)) {
        error += path;
        return fail();
    }
    node->m_briefTree.reset();
    std::unique_ptr<CRightTree> tree(new (std::nothrow) CRightTree);
    if (!tree) {
        error = "memory error, can't new CRightTree";
        return fail();
    }
    tree->GetRoot()->FreeChildrenObjects();
    try {
        if (tree->BuildTree(text) == -1) {
            error = "CRightTree::BuildTree() error ...";
            return fail();
        }
    } catch (const CError& e) {
        error = DBFormatText(OperatorText("权限代码 解析发生错误: %s (行:%d 列:%d)").c_str(),
                             e.GetMessage().c_str(), e.GetLine(), e.GetColumn());
        return fail();
    } catch (...) {
        error = "CRightTree::BuildTree() error ...";
        return fail();
    }
    node->m_briefTree = std::move(tree);
    return true;
}

bool CDBArray::GetDatabaseCqlMap(CDatabaseNode* node, std::string& error) {
    std::string text;
    std::string missing;
    if (!GetCfgFileFromDatabase(node->m_dbPath + "/cfgs/cql.cfg", text, missing))
        return true;  // none: the default map
    auto map = std::make_shared<CCqlIndexMap>();
    if (!map->Parse(AnsiToUtf8(text), error))
        return false;
    node->m_cqlMap = std::move(map);
    return true;
}

bool CDBArray::GetCfgFileFromDatabase(const std::string& path, std::string& text,
                                      std::string& error) {
    const bool anonymous = m_owner && m_owner->m_settings.Snapshot()->m_allowAnonymous;
    CBackendPager pager(m_connect, nullptr, nullptr);
    pager.SetLoginFallback(anonymous, kStrataAnonymousUser, "");
    bool tooLong = false;
    const CPagerResult result = pager.Search(path, kStrataStyleRecord, CPagerFormat::kBlocks, [&](const CPackage& page) {
        for (size_t i = 0; i < page.GetRecordCount(); ++i)
            AppendPackageText(text, *page.GetRecord(i));
        tooLong = text.size() > kMaxCodeTreeText;
        return !tooLong;
    });
    if (tooLong) {
        error = "configuration file too long: " + path;
        return false;
    }
    if (result == CPagerResult::kNoData)  // the end of a file that has been read in part
        return !text.empty();
    error = pager.GetError();
    return result == CPagerResult::kDone;
}
