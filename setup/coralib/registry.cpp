// CRegistryInstance: named instances in an ini file of the configuration folder (see coralib.h).
#include <strings.h>

#include <cctype>
#include <filesystem>
#include <sstream>

#include "platform/file.h"
#include "setup/coralib/coralib.h"

namespace {

constexpr size_t kMaxRegistryBytes = 1024 * 1024;
constexpr size_t kMaxField = 4096;

bool SameName(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

bool Storable(const std::string& s) {
    return s.size() <= kMaxField && s.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

std::string CRegistryInstance::FileOfKey(const std::string& key) {
    std::string name;
    for (char c : key)
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string prefix = "software/orvane/";
    if (name.compare(0, prefix.size(), prefix) == 0)
        name.erase(0, prefix.size());
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_')
            c = '-';
    return GetOrvaneConfigDir() + "/" + name + ".ini";
}

int CRegistryInstance::Load(const std::string& key) {
    m_key = key;
    m_items.clear();
    const std::string file = FileOfKey(key);
    if (!PlatFileExists(file))
        return 0;
    std::string text;
    if (PlatReadFile(file, text, kMaxRegistryBytes) != 0)
        return -1;
    std::istringstream in(text);
    std::string line;
    Item* current = nullptr;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos)
                continue;
            m_items.push_back({Trim(line.substr(1, close - 1)), "", ""});
            current = &m_items.back();
            continue;
        }
        const size_t eq = line.find('=');
        if (!current || eq == std::string::npos)
            continue;
        const std::string k = Trim(line.substr(0, eq));
        const std::string v = Trim(line.substr(eq + 1));
        if (SameName(k, "Program"))
            current->program = v;
        else if (SameName(k, "Data"))
            current->data = v;
    }
    return 0;
}

int CRegistryInstance::FindItem(const std::string& name, std::string& program,
                                std::string& data) const {
    for (const Item& item : m_items) {
        if (SameName(item.name, name)) {
            program = item.program;
            data = item.data;
            return 1;
        }
    }
    return 0;
}

bool CRegistryInstance::SetItem(const std::string& name, const std::string& program,
                                const std::string& data) {
    if (Trim(name).empty() || Trim(name) != name || name.find(']') != std::string::npos ||
        !Storable(name) || !Storable(program) || !Storable(data))
        return false;
    for (Item& item : m_items) {
        if (SameName(item.name, name)) {
            item = {name, program, data};
            return true;
        }
    }
    m_items.push_back({name, program, data});
    return true;
}

int CRegistryInstance::Save() const {
    if (!EnsureDirExist(GetOrvaneConfigDir()))
        return -1;
    std::string text = "; Instance registry " + m_key + ": one section per instance.\n";
    for (const Item& item : m_items)
        text += "\n[" + item.name + "]\nProgram=" + item.program + "\nData=" + item.data + "\n";
    return PlatWriteFileAtomic(FileOfKey(m_key), text.data(), text.size());
}

int RegisterKernelInstance(const std::string& storePath, std::string& error) {
    std::error_code ec;
    const std::string data = std::filesystem::absolute(storePath, ec).lexically_normal().string();
    std::string program;
    if (GetModuleDir(program))
        program += "/strata";
    CRegistryInstance kernel;
    const std::string file = CRegistryInstance::FileOfKey(kKernelRegistryKey);
    if (kernel.Load(kKernelRegistryKey) != 0) {
        error = "cannot read " + file;
        return -1;
    }
    if (!kernel.SetItem("Lumo", program, data) || kernel.Save() != 0) {
        error = "cannot write " + file;
        return -1;
    }
    return 0;
}
