// MARC 21 / UNIMARC -> simple Dublin Core, through one table per format.
#include "server/sru/marcdc.h"

#include <libxml/xmlwriter.h>

#include <memory>

#include "backend/marc/marcrecord.h"
#include "berkit/codepage.h"

namespace {

// One Dublin Core element from the subfields of the fields with one tag, joined by a space.
struct Crosswalk {
    const char* m_element;
    const char* m_tag;
    const char* m_subfields;
};

// MARC 21.
const Crosswalk kMarc21[] = {
    {"title", "245", "abnp"},   {"creator", "100", "abcd"}, {"creator", "110", "ab"},
    {"creator", "111", "a"},    {"creator", "700", "abcd"}, {"creator", "710", "ab"},
    {"subject", "600", "abcd"}, {"subject", "610", "ab"},   {"subject", "650", "a"},
    {"subject", "651", "a"},    {"subject", "653", "a"},    {"description", "520", "a"},
    {"description", "500", "a"}, {"publisher", "260", "ab"}, {"publisher", "264", "ab"},
    {"date", "260", "c"},       {"date", "264", "c"},       {"format", "300", "a"},
    {"identifier", "020", "a"}, {"identifier", "022", "a"}, {"identifier", "856", "u"},
    {"language", "041", "a"},   {"relation", "830", "a"},   {"rights", "540", "a"},
};

// UNIMARC.
const Crosswalk kUnimarc[] = {
    {"title", "200", "ae"},     {"creator", "700", "ab"},   {"creator", "701", "ab"},
    {"creator", "710", "a"},    {"creator", "711", "a"},    {"contributor", "702", "ab"},
    {"contributor", "712", "a"}, {"subject", "600", "a"},   {"subject", "606", "a"},
    {"subject", "607", "a"},    {"subject", "610", "a"},    {"description", "330", "a"},
    {"description", "300", "a"}, {"publisher", "210", "c"}, {"date", "210", "d"},
    {"format", "215", "a"},     {"identifier", "010", "a"}, {"identifier", "011", "a"},
    {"identifier", "856", "u"}, {"language", "101", "a"},   {"relation", "225", "a"},
};

std::string Joined(const CMARCItem& field, const char* codes) {
    std::string text;
    for (const auto& [code, data] : field.GetSubfields()) {
        if (std::string_view(codes).find(code) == std::string_view::npos || data.empty())
            continue;
        if (!text.empty())
            text += ' ';
        text += data;
    }
    // Control octets are not XML characters.
    std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    // Trailing ISBD punctuation belongs to the record's layout, not to the value.
    while (!text.empty() && std::string_view(" /:;,.=").find(text.back()) != std::string_view::npos)
        text.pop_back();
    return text;
}

struct WriterDeleter {
    void operator()(xmlTextWriter* w) const { xmlFreeTextWriter(w); }
};
struct BufferDeleter {
    void operator()(xmlBuffer* b) const { xmlBufferFree(b); }
};

}  // namespace

bool MarcToDublinCore(const CByteArray& iso, CMarcFormat format, std::string& xml, std::string& error) {
    xml.clear();
    std::string diriv;
    if (Iso2Diriv(iso, diriv, error, true, false, format) < 0)
        return false;
    CMARC record;
    if (record.Parse(diriv, error) < 0)
        return false;
    std::unique_ptr<xmlBuffer, BufferDeleter> buffer(xmlBufferCreate());
    std::unique_ptr<xmlTextWriter, WriterDeleter> writer(buffer ? xmlNewTextWriterMemory(buffer.get(), 0) : nullptr);
    if (!writer) {
        error = "out of memory";
        return false;
    }
    xmlTextWriter* w = writer.get();
    xmlTextWriterStartElement(w, BAD_CAST "srw_dc:dc");
    xmlTextWriterWriteAttribute(w, BAD_CAST "xmlns:srw_dc", BAD_CAST "info:srw/schema/1/dc-schema");
    xmlTextWriterWriteAttribute(w, BAD_CAST "xmlns:dc", BAD_CAST "http://purl.org/dc/elements/1.1/");
    const auto& table = format == CMarcFormat::kMarc21 ? std::vector<Crosswalk>(std::begin(kMarc21), std::end(kMarc21))
                                                       : std::vector<Crosswalk>(std::begin(kUnimarc), std::end(kUnimarc));
    for (const Crosswalk& row : table) {
        for (const CMARCItem& field : record.m_fields) {
            if (field.m_tag != row.m_tag)
                continue;
            const std::string value = Joined(field, row.m_subfields);
            if (value.empty())
                continue;
            const std::string name = std::string("dc:") + row.m_element;
            if (!IsValidUtf8(value)) {
                error = "record text of field " + field.m_tag + " is not valid UTF-8";
                return false;
            }
            if (xmlTextWriterWriteElement(w, BAD_CAST name.c_str(), BAD_CAST value.c_str()) < 0) {
                error = "cannot write the Dublin Core record";
                return false;
            }
        }
    }
    if (xmlTextWriterEndElement(w) < 0 || xmlTextWriterFlush(w) < 0) {
        error = "cannot write the Dublin Core record";
        return false;
    }
    xml.assign(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())), xmlBufferLength(buffer.get()));
    return true;
}
