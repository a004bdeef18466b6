// marcxml: ISO 2709 read with libyaz's MARC reader and written as MARCXML, as lines or as ISO 2709
// again, the data converted through a libyaz character-set converter (libyaz's own tables for
// MARC-8 and UTF-8, the system's iconv for the rest). A converter that reports an error makes
// the record fail instead of losing the characters it could not convert.

#include "backend/marc/marcxml.h"

#include <libxml/parser.h>
#include <yaz/marcdisp.h>
#include <yaz/wrbuf.h>
#include <yaz/yaz-iconv.h>

#include <cctype>
#include <memory>
#include <mutex>

namespace {

// ISO 2709 records are at most 99999 octets long.
constexpr size_t kMaxIsoRecord = 99999;

struct MarcDeleter {
    void operator()(yaz_marc_t_* mt) const { yaz_marc_destroy(mt); }
};
struct WrbufDeleter {
    void operator()(wrbuf* w) const { wrbuf_destroy(w); }
};
struct IconvDeleter {
    void operator()(yaz_iconv_struct* cd) const { yaz_iconv_close(cd); }
};
using MarcHandle = std::unique_ptr<yaz_marc_t_, MarcDeleter>;
using Wrbuf = std::unique_ptr<wrbuf, WrbufDeleter>;
using Iconv = std::unique_ptr<yaz_iconv_struct, IconvDeleter>;

std::string Folded(const std::string& name) {
    std::string folded;
    for (char c : name)
        if (c != '-' && c != '_')
            folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

bool SameCharset(const std::string& a, const std::string& b) { return Folded(a) == Folded(b); }

// One record's conversion: the reader, its converter, the output buffer.
class Conversion {
public:
    // False with `error` set when a name has no converter. Equal names convert nothing unless
    // `check` asks for a converter all the same (it rejects data that is not in `from`).
    bool Open(const std::string& from, const std::string& to, std::string& error, bool check = false) {
        m_marc.reset(yaz_marc_create());
        m_out.reset(wrbuf_alloc());
        if (!m_marc || !m_out) {
            error = "out of memory";
            return false;
        }
        if (!check && SameCharset(from, to))
            return true;
        m_iconv.reset(yaz_iconv_open(to.c_str(), from.c_str()));
        if (!m_iconv) {
            error = "no conversion from " + from + " to " + to;
            return false;
        }
        yaz_marc_iconv(m_marc.get(), m_iconv.get());
        return true;
    }

    // Reads `iso`, then writes it in `mode` (YAZ_MARC_...), leader 09 set to `leader09` unless 0.
    bool Run(std::string_view iso, int mode, char leader09, std::string& out, std::string& error) {
        out.clear();
        if (iso.size() < 24 || iso.size() > kMaxIsoRecord) {
            error = "record of " + std::to_string(iso.size()) + " octets is not an ISO 2709 record";
            return false;
        }
        yaz_marc_xml(m_marc.get(), mode);
        if (yaz_marc_read_iso2709(m_marc.get(), iso.data(), static_cast<int>(iso.size())) <= 0) {
            error = "not a readable ISO 2709 record";
            return false;
        }
        if (leader09 != 0) {
            const char value[2] = {leader09, '\0'};
            yaz_marc_modify_leader(m_marc.get(), 9, value);
        }
        if (yaz_marc_write_mode(m_marc.get(), m_out.get()) != 0) {
            error = "the record cannot be written";
            return false;
        }
        // (a converter over the system's iconv reports YAZ_ICONV_UNKNOWN when all went well)
        const int converted = m_iconv ? yaz_iconv_error(m_iconv.get()) : 0;
        if (converted == YAZ_ICONV_EILSEQ || converted == YAZ_ICONV_EINVAL) {
            error = "a character of the record cannot be converted";
            return false;
        }
        out.assign(wrbuf_buf(m_out.get()), wrbuf_len(m_out.get()));
        return true;
    }

private:
    MarcHandle m_marc;
    Wrbuf m_out;
    Iconv m_iconv;
};

bool Fail(std::string& out, std::string& error, const std::string& what) {
    out.clear();
    error = what + ": " + error;
    return false;
}

// True when `xml` is one well-formed XML document (UTF-8, no entities, no network).
bool WellFormed(const std::string& xml) {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, "UTF-8",
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return false;
    xmlFreeDoc(doc);
    return true;
}

}  // namespace

bool IsMarc8Charset(const std::string& name) { return Folded(name).rfind("marc8", 0) == 0; }

bool Iso2709ToMarcXml(std::string_view iso, bool utf8, const std::string& charset, std::string& xml,
                      std::string& error) {
    Conversion conversion;
    // UTF-8 to UTF-8 still goes through a converter: it rejects octets that are not UTF-8.
    const std::string from = utf8 ? std::string("UTF-8") : charset;
    if (!conversion.Open(from, "UTF-8", error, true) || !conversion.Run(iso, YAZ_MARC_MARCXML, 0, xml, error))
        return Fail(xml, error, "MARCXML");
    if (!WellFormed(xml)) {
        error = "the record does not make well-formed XML";
        return Fail(xml, error, "MARCXML");
    }
    return true;
}

bool Iso2709ToLines(std::string_view iso, const std::string& from, const std::string& to, std::string& text,
                    std::string& error) {
    Conversion conversion;
    if (!conversion.Open(from, to, error) || !conversion.Run(iso, YAZ_MARC_LINE, 0, text, error))
        return Fail(text, error, "SUTRS");
    return true;
}

bool Iso2709Recode(std::string_view iso, const std::string& from, const std::string& to, std::string& out,
                   std::string& error) {
    char leader09 = 0;
    if (SameCharset(to, "UTF-8"))
        leader09 = 'a';
    else if (IsMarc8Charset(to))
        leader09 = ' ';
    Conversion conversion;
    if (!conversion.Open(from, to, error) || !conversion.Run(iso, YAZ_MARC_ISO2709, leader09, out, error))
        return Fail(out, error, "ISO 2709");
    return true;
}
