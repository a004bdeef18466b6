// Code-page conversion through iconv, with Windows-style substitution of invalid sequences.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/mutex.h"

namespace {

CMutex g_ansiLock;
std::string g_ansiName GUARDED_BY(g_ansiLock) = "GB18030";

// Per-thread cache of open descriptors, keyed by "from|to". Closed when the thread ends.
class CIconvCache {
public:
    ~CIconvCache()
    {
        for (auto& entry : m_entries)
            iconv_close(entry.second);
    }
    // Returns a descriptor in its initial state, or (iconv_t)-1 when iconv cannot convert.
    iconv_t Get(const std::string& from, const std::string& to)
    {
        std::string key = from + "|" + to;
        for (auto& entry : m_entries) {
            if (entry.first == key) {
                iconv(entry.second, nullptr, nullptr, nullptr, nullptr);
                return entry.second;
            }
        }
        iconv_t cd = iconv_open(to.c_str(), from.c_str());
        if (cd == (iconv_t)-1)
            return cd;
        if (m_entries.size() >= kMaxEntries) {
            iconv_close(m_entries.front().second);
            m_entries.erase(m_entries.begin());
        }
        m_entries.emplace_back(std::move(key), cd);
        return cd;
    }

private:
    static constexpr size_t kMaxEntries = 8;
    std::vector<std::pair<std::string, iconv_t>> m_entries;
};

thread_local CIconvCache t_cache;

// Runs the conversion, calling `skip` at each invalid or incomplete input sequence; `skip` appends
// the substitute to `out` and returns how many input octets to pass over (at least 1).
template <typename Skip>
void Convert(iconv_t cd, const unsigned char* in, size_t length, std::vector<unsigned char>& out,
             Skip skip)
{
    char* src = const_cast<char*>(reinterpret_cast<const char*>(in));
    size_t left = length;
    char buffer[1024];
    while (left > 0) {
        char* dst = buffer;
        size_t room = sizeof(buffer);
        size_t rc = iconv(cd, &src, &left, &dst, &room);
        out.insert(out.end(), buffer, dst);
        if (rc != (size_t)-1)
            continue;
        const int error = errno;
        if (error == E2BIG)
            continue;
        // EILSEQ: substitute and go on after the bad octets. EINVAL: an incomplete sequence ends
        // the input; it becomes one substitute.
        size_t n = skip(reinterpret_cast<const unsigned char*>(src), left, out);
        if (error == EINVAL)
            n = left;
        if (n > left)
            n = left;
        src += n;
        left -= n;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* dst = buffer;
    size_t room = sizeof(buffer);
    iconv(cd, nullptr, nullptr, &dst, &room);  // flush any shift state
    out.insert(out.end(), buffer, dst);
}

}  // namespace

bool PlatSetAnsiCodePage(const char* iconvName)
{
    if (iconvName == nullptr || *iconvName == 0)
        return false;
    iconv_t cd = iconv_open("UTF-16LE", iconvName);
    if (cd == (iconv_t)-1)
        return false;
    iconv_close(cd);
    CMutexLock guard(g_ansiLock);
    g_ansiName = iconvName;
    return true;
}

std::string PlatGetAnsiCodePage()
{
    CMutexLock guard(g_ansiLock);
    return g_ansiName;
}

std::string PlatCodePageName(unsigned codePage)
{
    switch (codePage) {
    case 0:
        return PlatGetAnsiCodePage();
    case 65001:
        return "UTF-8";
    case 936:
        return "GBK";
    case 54936:
        return "GB18030";
    case 950:
        return "BIG5";
    case 20127:
        return "ASCII";
    case 28591:
        return "ISO-8859-1";
    case 1200:
        return "UTF-16LE";
    default:
        if (codePage >= 1250 && codePage <= 1258)
            return "CP" + std::to_string(codePage);
        return "";
    }
}

bool PlatMultiByteToWide(unsigned codePage, const unsigned char* text, size_t length,
                         std::vector<unsigned char>& wide)
{
    std::string name = PlatCodePageName(codePage);
    if (name.empty())
        return false;
    iconv_t cd = t_cache.Get(name, "UTF-16LE");
    if (cd == (iconv_t)-1)
        return false;
    Convert(cd, text, length, wide, [](const unsigned char*, size_t, std::vector<unsigned char>& out) {
        out.push_back(0xFD);  // U+FFFD, little-endian
        out.push_back(0xFF);
        return size_t(1);
    });
    return true;
}

bool PlatWideToMultiByte(unsigned codePage, const unsigned char* wide, size_t units,
                         std::vector<unsigned char>& text)
{
    std::string name = PlatCodePageName(codePage);
    if (name.empty())
        return false;
    iconv_t cd = t_cache.Get("UTF-16LE", name);
    if (cd == (iconv_t)-1)
        return false;
    Convert(cd, wide, units * 2, text, [](const unsigned char* at, size_t left, std::vector<unsigned char>& out) {
        out.push_back('?');
        // A valid surrogate pair the target cannot represent is one character: skip both units.
        if (left >= 4 && (at[1] & 0xFC) == 0xD8 && (at[3] & 0xFC) == 0xDC)
            return size_t(4);
        return size_t(2);
    });
    return true;
}
