#include "backend/strata/strata_routines.h"

#include <vector>

#include "berkit/extended_exception.h"

int PrepareDatabaseChannel(CConnect& connect, const std::string& user, const std::string& password,
                           CInterface* iface) {
    connect.SetInterface(iface);
    connect.m_user = user;
    connect.m_password = password;
    if (connect.PrepareChannel(nullptr) == -1) {
        THROW_EXTENDED(0, "cannot open a channel to the back-end store");
    }
    return 0;
}

int LoginDatabase(CConnect& connect, const std::string& path, bool anonymousRetry,
                  const std::string& fallbackUser, const std::string& fallbackPassword) {
    std::vector<char> buffer(4096);
    bool retried = false;
    for (;;) {
        const int result = connect.API_ChDir(connect.m_user.c_str(), connect.m_password.c_str(), path.c_str(),
                                             int(path.size()) + 1, buffer.data(), int(buffer.size()));
        if (result > 0) return 0;
        if (!anonymousRetry || retried) break;
        retried = true;
        connect.m_user = fallbackUser;
        connect.m_password = fallbackPassword;
    }
    int code = 0;
    std::string text;
    connect.GetLastError(code, text);
    return -1;
}

void AppendPackageText(std::string& text, const unsigned char* block, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (block[i] != 0) continue;
        text.append(reinterpret_cast<const char*>(block) + start, i - start);
        text += "\r\n";
        start = i + 1;
    }
}

void AppendPackageText(std::string& text, const CByteArray& block) {
    AppendPackageText(text, block.data(), block.size());
}
