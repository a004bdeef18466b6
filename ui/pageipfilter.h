#pragma once
// CPageIPFilter: the configuration sheet's page "IP 筛选": the friend and enemy lists of the IP filter.
// Thread safety: host user-interface thread only.

#include "ui/configpage.h"

class CPageIPFilter : public CConfigPage {
public:
    const VKDialogTemplate& GetTemplate() const override;
    bool OnInitDialog() override;
    bool OnApply() override;
    void OnControl(int id, int code) override;
};
