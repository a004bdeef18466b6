#pragma once
// CPageDatabase: the configuration sheet's page "数据库": back-end login, local or remote mode, instance and version.
// Thread safety: host user-interface thread only.

#include "ui/configpage.h"

class CPageDatabase : public CConfigPage {
public:
    const VKDialogTemplate& GetTemplate() const override;
    bool OnInitDialog() override;
    bool OnApply() override;
    void OnControl(int id, int code) override;
};
