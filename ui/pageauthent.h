#pragma once
// CPageAuthent: the configuration sheet's page "访问": anonymous account and the accepted authentication forms.
// Thread safety: host user-interface thread only.

#include "ui/configpage.h"

class CPageAuthent : public CConfigPage {
public:
    const VKDialogTemplate& GetTemplate() const override;
    bool OnInitDialog() override;
    bool OnApply() override;
    void OnControl(int id, int code) override;
};
