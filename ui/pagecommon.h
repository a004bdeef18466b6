#pragma once
// CPageCommon: the configuration sheet's page "常规": port, idle time-out, search and result-set limits, window.
// Thread safety: host user-interface thread only.

#include "ui/configpage.h"

class CPageCommon : public CConfigPage {
public:
    const VKDialogTemplate& GetTemplate() const override;
    bool OnInitDialog() override;
    bool OnApply() override;
    void OnControl(int id, int code) override;
};
