// The instance folder's pid file (see pidfile.h).
#include "host/pidfile.h"

#include <cerrno>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"

CPidFile::~CPidFile() {
    Release();
}

bool CPidFile::Acquire(const std::string& folder, std::string& error) {
    const std::string path = PlatJoinPath(folder, "vk9000.pid");
    int heldBy = 0;
    int code = 0;
    const int handle = PlatHoldPidFile(path, heldBy, code);
    if (handle < 0) {
        if (code == EWOULDBLOCK)
            error = "another vk9000 (pid " + (heldBy > 0 ? std::to_string(heldBy) : std::string("unknown")) +
                    ") serves " + folder;
        else
            error = "cannot take " + path + ": " + PlatSystemErrorText(code);
        return false;
    }
    m_handle = handle;
    m_path = path;
    return true;
}

void CPidFile::Release() {
    PlatReleasePidFile(m_handle, m_path);
    m_handle = -1;
    m_path.clear();
}
