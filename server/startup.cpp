// The library-wide start-up object of velkansvc (see startup.h).
#include "server/startup.h"

#include <cstdio>

#include "platform/socket.h"

namespace {

class CLibraryStartup {
public:
    CLibraryStartup() {
        m_ready = PlatSocketStartup() == 0;
        if (!m_ready)
            std::fputs("socket init failed\n", stderr);
    }
    ~CLibraryStartup() {
        if (m_ready)
            PlatSocketCleanup();
    }
    bool m_ready = false;
};

CLibraryStartup g_startup;

}  // namespace

bool VelkanSvcSocketsReady() { return g_startup.m_ready; }
