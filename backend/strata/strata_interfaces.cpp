// The registry: which driver each interface file name and each admin store spec selects.
#include <strings.h>

#include "backend/strata/strata_store.h"

namespace {

const StrataInterfaceRow kInterfaces[] = {
    {"localcore32.dll", &kStrataSqliteEngine},
    {"netchan32.dll", &kStrataPgEngine},
    {"netchan32u.dll", &kStrataPgEngine},
};

const StrataEngineRow* const kEngines[] = {&kStrataSqliteEngine, &kStrataPgEngine};

}  // namespace

const StrataInterfaceRow* StrataFindInterface(const std::string& fileName) {
    for (const StrataInterfaceRow& row : kInterfaces) {
        if (strcasecmp(row.m_fileName, fileName.c_str()) == 0) return &row;
    }
    return nullptr;
}

std::unique_ptr<IStrataStore> StrataOpenSpec(const std::string& spec, bool create, StrataStatus& st) {
    const StrataEngineRow* engine = &kStrataSqliteEngine;
    std::string location = spec;
    for (const StrataEngineRow* row : kEngines) {
        const std::string prefix = std::string(row->m_spec) + ":";
        if (spec.rfind(prefix, 0) == 0) {
            engine = row;
            location = spec.substr(prefix.size());
        }
    }
    return engine->m_open(engine->m_locateSpec(location), create, st);
}
