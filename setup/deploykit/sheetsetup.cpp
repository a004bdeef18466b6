// CSheetSetup: page order, navigation, hook moments and the installer operations (see sheetsetup.h).
#include "setup/deploykit/sheetsetup.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "platform/datafile.h"
#include "platform/file.h"
#include "platform/process.h"
#include "setup/coralib/coralib.h"
#include "setup/deploykit/installpages.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kInstanceSpace = 1024 * 1024;  // vk9000.ini, logs to start with

bool IsSharedLibrary(const std::string& name) {
    const size_t so = name.find(".so");
    return so != std::string::npos && (so + 3 == name.size() || name[so + 3] == '.');
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(path, ec);
    return ec ? path : p.string();
}

}  // namespace

CSheetSetup::CSheetSetup(std::string title) : m_title(std::move(title)) {
    m_ownPages = MakeInstallerPages();
    for (auto& page : m_ownPages) {
        page->m_sheet = this;
        m_pages.push_back(page.get());
    }
    m_extraInsert = m_pages.size() - 1;  // before the last page
    GetModuleDir(m_sourceFolder);
    m_programFolder = m_sourceFolder;
    m_registryKey = kServerRegistryKey;
}

CSheetSetup::~CSheetSetup() = default;

void CSheetSetup::AddPage(CWizardPage* page) {
    page->m_sheet = this;
    m_pages.insert(m_pages.begin() + static_cast<long>(m_extraInsert++), page);
}

void CSheetSetup::Start() {
    m_state = EState::Running;
    Activate(0);
}

CWizardPage& CSheetSetup::Current() {
    return *m_pages[m_index];
}

void CSheetSetup::Activate(size_t index) {
    m_index = index;
    CWizardPage& page = *m_pages[index];
    m_buttons = index == 0 ? PSWIZB_NEXT
                           : index + 1 == m_pages.size() ? (PSWIZB_BACK | PSWIZB_FINISH)
                                                         : (PSWIZB_BACK | PSWIZB_NEXT);
    if (!page.m_created) {
        page.m_created = true;
        page.OnCreate();
    }
    page.OnSetActive();
}

bool CSheetSetup::Next() {
    if (m_state != EState::Running || !(m_buttons & PSWIZB_NEXT) || m_index + 1 >= m_pages.size())
        return false;
    if (!Current().OnWizardNext() || m_state != EState::Running)
        return false;
    Activate(m_index + 1);
    return m_state == EState::Running;
}

bool CSheetSetup::Back() {
    if (m_state != EState::Running || !(m_buttons & PSWIZB_BACK) || m_index == 0)
        return false;
    if (!Current().OnWizardBack())
        return false;
    Activate(m_index - 1);
    return true;
}

bool CSheetSetup::Finish() {
    if (m_state != EState::Running || !(m_buttons & PSWIZB_FINISH))
        return false;
    if (!Current().OnWizardFinish() || SaveSettings() != 0)
        return false;
    OnFinishFinish();
    m_state = EState::Finished;
    return true;
}

void CSheetSetup::Cancel() {
    if (m_state == EState::Running)
        m_state = EState::Cancelled;
}

void CSheetSetup::End(const std::string& reason) {
    m_endReason = reason;
    m_state = EState::Ended;
}

std::string CSheetSetup::GetExistInstanceDir(const std::string& name) {
    CRegistryInstance registry;
    std::string program, data;
    if (registry.Load(m_registryKey) == 0 && registry.FindItem(name, program, data) == 1)
        return data;
    return "";
}

void CSheetSetup::PrepareCheckSpace() {
    m_copyList.clear();
    m_needBytes = 0;
    if (m_sourceFolder.empty() || Canonical(m_sourceFolder) == Canonical(m_programFolder))
        return;  // the programs are already where they belong
    std::error_code ec;
    auto add = [&](const std::string& from, const std::string& to) {
        const uintmax_t size = fs::file_size(from, ec);
        if (ec)
            return;
        m_copyList.push_back({from, to, size});
        m_needBytes += size;
    };
    for (const char* program : {"vk9000", "strata", "SetupVelkan"})
        add(PlatJoinPath(m_sourceFolder, program), PlatJoinPath(m_programFolder, program));
    // The programs find their libraries in ../lib (their run path).
    const std::string libFrom = fs::path(m_sourceFolder).parent_path().append("lib").string();
    const std::string libTo = fs::path(Canonical(m_programFolder)).parent_path().append("lib").string();
    std::vector<std::string> names;
    if (PlatListDirectory(libFrom, names) == 0)
        for (const std::string& name : names)
            if (IsSharedLibrary(name))
                add(PlatJoinPath(libFrom, name), PlatJoinPath(libTo, name));
    // The demo store's builder and data go along to ../share/velkan, where the copied programs
    // look for them (the store page offers the demo databases with them).
    const std::string script = PlatFindDataFile(PlatJoinPath(m_sourceFolder, "SetupVelkan"), kDemoStoreScript);
    if (script.empty())
        return;
    const fs::path from = fs::path(script).parent_path().parent_path();
    const fs::path to = fs::path(Canonical(m_programFolder)).parent_path() / "share/velkan";
    add(script, (to / kDemoStoreScript).string());
    for (const auto& entry : fs::recursive_directory_iterator(from / "data/demo", ec))
        if (entry.is_regular_file(ec))
            add(entry.path().string(), (to / fs::relative(entry.path(), from, ec)).string());
}

int64_t CSheetSetup::DetectFreeSpace(const std::string& folder) {
    fs::path p = folder;
    std::error_code ec;
    while (!p.empty() && !fs::exists(p, ec) && p != p.parent_path())
        p = p.parent_path();
    struct statvfs st{};
    if (p.empty() || statvfs(p.c_str(), &st) != 0)
        return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

bool CSheetSetup::ExtDetectFreeSpace(std::string& message) {
    const int64_t programFree = DetectFreeSpace(m_programFolder);
    const int64_t instanceFree = DetectFreeSpace(m_instanceFolder);
    if (programFree >= 0 && static_cast<uint64_t>(programFree) < m_needBytes) {
        message = "程序目录 " + m_programFolder + " 所在磁盘空间不足: 需要 " +
                  SizeText(static_cast<int64_t>(m_needBytes)) + ", 可用 " + SizeText(programFree) + "。";
        return false;
    }
    if (instanceFree >= 0 && static_cast<uint64_t>(instanceFree) < kInstanceSpace) {
        message = "实例目录 " + m_instanceFolder + " 所在磁盘空间不足: 至少需要 " +
                  SizeText(static_cast<int64_t>(kInstanceSpace)) + "。";
        return false;
    }
    return true;
}

bool CSheetSetup::ExtCopyFile(const std::string& from, const std::string& to, std::string& error) {
    std::error_code ec;
    const std::string temp = to + ".setup-tmp";
    fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec);
    if (!ec)
        fs::rename(temp, to, ec);
    if (ec) {
        fs::remove(temp);
        error = "无法复制 " + from + " 到 " + to + ": " + ec.message();
        return false;
    }
    return true;
}

bool CSheetSetup::SystemdAvailable() {
    return geteuid() == 0 && PlatIsDirectory("/run/systemd/system") &&
           (PlatFileExists("/usr/bin/systemctl") || PlatFileExists("/bin/systemctl"));
}

void CSheetSetup::OnFinishFinish() {
    if (!m_enableService || !SystemdAvailable())
        return;
    std::string unit = "vk9000@" + m_instanceName + ".service";
    std::string error;
    if (PlatRunProgram({"systemctl", "enable", "--now", unit}, {}, "", error) != 0)
        ShowMessage("无法启用服务 " + unit + " (systemctl enable --now 失败)。", VKMB_OK | VKMB_ICONWARNING);
}
