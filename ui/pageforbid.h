#pragma once
// CPageForbid: the configuration sheet's page "禁用": refusing database access, not starting the service.
// Thread safety: host user-interface thread only.

#include "ui/configpage.h"

class CPageForbid : public CConfigPage {
public:
    const VKDialogTemplate& GetTemplate() const override;
    bool OnInitDialog() override;
    bool OnApply() override;
};
