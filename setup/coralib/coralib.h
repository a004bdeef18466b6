#pragma once
// The utility functions the setup program and the store tool use: the product's configuration
// folder, ini access, folders, the waiting notice, and CRegistryInstance, a registry of named
// instances (program and data folder per name) kept as one ini file in the configuration folder.
// Thread safety: none; single-threaded programs only.

#include <string>
#include <vector>

// The configuration folder: $ORVANE_CONFIG_DIR when set, else /etc/orvane as root, else
// $XDG_CONFIG_HOME/orvane or ~/.config/orvane. No "/" at the end.
std::string GetOrvaneConfigDir();

std::string GetIniProfileString(const std::string& section, const std::string& key,
                                const std::string& defaultValue, const std::string& file);
// False when the file cannot be written (its folder must exist).
bool WriteIniProfileString(const std::string& section, const std::string& key,
                           const std::string& value, const std::string& file);

// Creates the folder and its parents; true when it exists afterwards.
bool EnsureDirExist(const std::string& path);
// The folder of the running program (no "/" at the end). False when it cannot be found.
bool GetModuleDir(std::string& folder);

// Shows a waiting notice through the dialog host until CloseDlgWaiting with the returned handle.
int OpenDlgWaiting(const std::string& text);
void CloseDlgWaiting(int handle);

// A registry of instances: each has a name (compared without regard to case), the program that
// serves it and its data (an instance folder or a store file). Stored in the configuration folder
// as <key>.ini ("software/Orvane/core9/instance" -> core9-instance.ini), one section per
// instance with "Program" and "Data", written atomically so readers never see half a file.
class CRegistryInstance {
public:
    // Reads the registry of `key`. A missing file is an empty registry (0); -1 when the file
    // cannot be read or is larger than 1 MiB.
    int Load(const std::string& key);
    // 1 when `name` is present (program and data filled), 0 when not.
    int FindItem(const std::string& name, std::string& program, std::string& data) const;
    // Adds or replaces an entry. False for a name or value that cannot be stored (empty, or
    // holding a line break or "]", or longer than 4096 bytes).
    bool SetItem(const std::string& name, const std::string& program, const std::string& data);
    // Writes the registry back (creating the configuration folder). 0, or -1 with errno set.
    int Save() const;

    // The file of `key` in the configuration folder.
    static std::string FileOfKey(const std::string& key);

    struct Item {
        std::string name, program, data;
    };
    const std::vector<Item>& Items() const { return m_items; }

private:
    std::string m_key;
    std::vector<Item> m_items;
};

// Registry keys used by the product family.
constexpr const char* kKernelRegistryKey = "software/Orvane/core9/instance";
constexpr const char* kServerRegistryKey = "software/Orvane/vk9000/instance";

// Enters the store file `storePath` in the local database kernel's instance registry as
// instance "Lumo" (program: the running program). 0, or -1 with `error`.
int RegisterKernelInstance(const std::string& storePath, std::string& error);
