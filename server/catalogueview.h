#pragma once
// CCatalogueView: one request's view of the catalogue: databases by the name or alias a client
// gave, each entry held (kept alive) until the view is emptied, so a catalogue reload during the
// request never frees an entry in use. A forbidden catalogue ([Server] ForbidDatabase) offers none.
// Thread safety: none; a view belongs to the thread of its request (the catalogue itself is
// shared and locked by CDBArray).

#include <memory>
#include <string>
#include <vector>

class CDBArray;
class CDatabaseNode;

class CCatalogueView {
public:
    // The catalogue to look in (null: none) and whether access is forbidden. Keeps held entries.
    void Bind(const CDBArray* catalogue, bool forbidden) {
        m_catalogue = catalogue;
        m_forbidden = forbidden;
    }
    // Drops the held entries (at the start of each request).
    void Clear() { m_held.clear(); }
    // The first usable entry named `name` (case-insensitive name or alias), held; null when none.
    // Valid until Clear or the view's destruction.
    const CDatabaseNode* Find(const std::string& name);
    // The first of `names` that Find does not know (or an empty one); "" when every name is known.
    std::string FirstUnknown(const std::vector<std::string>& names);

private:
    const CDBArray* m_catalogue = nullptr;
    bool m_forbidden = false;
    std::vector<std::shared_ptr<const CDatabaseNode>> m_held;
};
