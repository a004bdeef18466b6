#pragma once
// CSheetSetup: the installer's wizard sheet. It brings its own pages (welcome, instance name,
// instance folder, program folder, free space, ready, copying the programs) and a last page with a
// summary; a derived sheet adds its pages between them and overrides three hooks that the sheet
// calls at fixed moments:
//   ReadSettings          on leaving the instance-folder page with Next (the folder is known);
//   CloseRunningPrograms  when the copy page opens, before anything is written; 1 ends the setup;
//   SaveSettings          on Finish; anything but 0 keeps the wizard on the last page.
// A front-end (terminal, answers file, tests) drives it through Start/Next/Back/Finish/Cancel.
// Thread safety: none; the setup program's one thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "setup/toolkit/form.h"

class CSheetSetup;

class CWizardPage : public CForm {
public:
    using CForm::CForm;
    CSheetSetup* m_sheet = nullptr;  // set by AddPage; the sheet outlives its pages' use
    bool m_created = false;

    virtual void OnCreate() {}  // once, before the first activation
    virtual void OnSetActive() {}
    virtual bool OnWizardNext() { return true; }  // false stays on the page
    virtual bool OnWizardBack() { return true; }
    virtual bool OnWizardFinish() { return true; }
    // Long work done in steps while the page is shown; true while more remains.
    virtual bool OnWork() { return false; }
};

enum : unsigned { PSWIZB_BACK = 1, PSWIZB_NEXT = 2, PSWIZB_FINISH = 4 };

class CSheetSetup {
public:
    explicit CSheetSetup(std::string title);
    virtual ~CSheetSetup();
    CSheetSetup(const CSheetSetup&) = delete;
    CSheetSetup& operator=(const CSheetSetup&) = delete;

    const std::string& Title() const { return m_title; }

    // Installer settings the hooks use.
    std::string m_instanceName = "vk9000";
    std::string m_instanceFolder;   // where vk9000.ini lives
    std::string m_programFolder;    // where the programs are installed
    std::string m_sourceFolder;     // where the programs are copied from (this program's folder)
    std::string m_registryKey;      // the product's instance registry
    bool m_enableService = false;   // last page: enable the systemd unit of the instance

    // Adds a page of the derived sheet after the installer's own pages, before the last page.
    // Not owned; it must live as long as the sheet.
    void AddPage(CWizardPage* page);

    enum class EState { Running, Finished, Cancelled, Ended };
    void Start();                  // shows the first page
    CWizardPage& Current();
    size_t CurrentIndex() const { return m_index; }
    size_t PageCount() const { return m_pages.size(); }
    CWizardPage& Page(size_t index) { return *m_pages[index]; }
    bool Next();                   // true when another page is shown
    bool Back();
    bool Finish();                 // true when the setup finished
    void Cancel();
    // Ends the setup from a hook or page, with the reason shown to the operator.
    void End(const std::string& reason);
    EState State() const { return m_state; }
    const std::string& EndReason() const { return m_endReason; }
    unsigned Buttons() const { return m_buttons; }
    void SetWizardButtons(unsigned buttons) { m_buttons = buttons; }

    // Hooks of the derived sheet.
    virtual void ReadSettings() {}
    virtual int CloseRunningPrograms() { return 0; }
    virtual int SaveSettings() { return 0; }
    // Summary lines of the derived sheet for the last page.
    virtual std::vector<std::string> SummaryLines() const { return {}; }

    // Installer operations with the installer's behaviour.
    // The instance folder registered for `name`, or "" when it is not registered.
    virtual std::string GetExistInstanceDir(const std::string& name);
    // Lists the files to copy and the space they need.
    virtual void PrepareCheckSpace();
    // Free bytes for `folder` (its nearest existing parent), -1 when unknown.
    virtual int64_t DetectFreeSpace(const std::string& folder);
    // False with `message` when the folders lack the space needed.
    virtual bool ExtDetectFreeSpace(std::string& message);
    // Copies one file (atomically: temporary name, then rename), keeping its mode.
    virtual bool ExtCopyFile(const std::string& from, const std::string& to, std::string& error);
    virtual void OnStartNext() {}
    // After a successful SaveSettings: enables the systemd unit when asked.
    virtual void OnFinishFinish();

    struct CopyItem {
        std::string from, to;
        uint64_t bytes = 0;
    };
    std::vector<CopyItem> m_copyList;  // filled by PrepareCheckSpace
    uint64_t m_needBytes = 0;

    // True when systemd manages this machine and the unit can be enabled (root only).
    static bool SystemdAvailable();

private:
    void Activate(size_t index);

    std::string m_title;
    std::vector<std::unique_ptr<CWizardPage>> m_ownPages;
    std::vector<CWizardPage*> m_pages;
    size_t m_extraInsert = 0;  // where AddPage inserts
    size_t m_index = 0;
    unsigned m_buttons = PSWIZB_NEXT;
    EState m_state = EState::Running;
    std::string m_endReason;
};
