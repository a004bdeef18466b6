#pragma once
// extended_exception: the one exception type of the whole system (codec, runtime, back-end access).
// Thrown by value, caught by reference at the top of every worker loop and in the session.
// Thread safety: an object belongs to the thread that threw or caught it.

#include <exception>
#include <string>

class extended_exception : public std::exception {
public:
    extended_exception(int code, const std::string& message, const std::string& file, int line);
    extended_exception(const extended_exception& other) = default;
    extended_exception& operator=(const extended_exception& other) = default;
    virtual ~extended_exception();

    // Formats "Exception (0x%.8X): \r\n\t%s\r\n\tFile: %s\r\n\tLine: %d\r\n" into m_strText and
    // returns it. The pointer stays valid until the next call or the object's destruction.
    virtual const char* GetErrorMessage();
    // The one-line text for the operator's log: "Exception (0x%.8X): message", without the
    // source file and line (those go to the debug trace with GetErrorMessage).
    std::string LogText() const;

    int m_nCode;               // system or socket error number, or 0
    std::string m_strMessage;  // short description, e.g. "Failed to create thread"
    std::string m_strFile;     // source file that raised it
    int m_nLine;               // source line that raised it
    std::string m_strText;     // buffer for GetErrorMessage()
};

// Throws an extended_exception carrying the current source file and line.
#define THROW_EXTENDED(code, message) throw extended_exception((code), (message), __FILE__, __LINE__)
