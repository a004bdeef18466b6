#include "extended_exception.h"

#include <cstdio>

extended_exception::extended_exception(int code, const std::string& message, const std::string& file, int line)
    : m_nCode(code), m_strMessage(message), m_strFile(file), m_nLine(line) {}

extended_exception::~extended_exception() = default;

const char* extended_exception::GetErrorMessage() {
    const char* fmt = "Exception (0x%.8X): \r\n\t%s\r\n\tFile: %s\r\n\tLine: %d\r\n";
    int n = std::snprintf(nullptr, 0, fmt, static_cast<unsigned>(m_nCode), m_strMessage.c_str(),
                          m_strFile.c_str(), m_nLine);
    m_strText.assign(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::snprintf(m_strText.data(), m_strText.size() + 1, fmt, static_cast<unsigned>(m_nCode),
                      m_strMessage.c_str(), m_strFile.c_str(), m_nLine);
    return m_strText.c_str();
}

std::string extended_exception::LogText() const {
    char code[32];
    std::snprintf(code, sizeof code, "Exception (0x%.8X): ", static_cast<unsigned>(m_nCode));
    return code + m_strMessage;
}
