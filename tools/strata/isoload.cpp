// Preparation of ISO 2709 records for loading: splitting, conversion, numbering.

#include "isoload.h"

#include <cstdio>

#include "backend/marc/marc8guess.h"
#include "backend/marc/marcrecord.h"
#include "backend/marc/marcxml.h"
#include "berkit/marcglobal.h"

namespace {

bool AllDigits(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9') return false;
    return true;
}

// Data of subfield a of the first 100 field, from raw ISO 2709 bytes (for the UNIMARC test).
bool UnimarcDeclaresUnicode(const CByteArray& record) {
    std::string diriv, error;
    if (Iso2Diriv(record, diriv, error, true, false) < 0) return false;
    CMARC marc;
    if (marc.Parse(diriv, error) < 0) return false;
    const CMARCItem* f100 = marc.FindField("100");
    std::string a;
    return f100 != nullptr && f100->GetSubfield('a', a) && a.size() >= 28 && a.compare(26, 2, "50") == 0;
}

}  // namespace

std::vector<IsoPiece> SplitIsoFile(const CByteArray& file) {
    std::vector<IsoPiece> pieces;
    size_t pos = 0;
    while (pos < file.size()) {
        IsoPiece piece;
        piece.m_ordinal = pieces.size() + 1;
        piece.m_offset = pos;
        size_t length = 0;
        if (file.size() - pos < 5 || !AllDigits(&file[pos], 5)) {
            piece.m_error = "record length is not 5 digits";
        } else {
            length = std::stoul(std::string(file.begin() + pos, file.begin() + pos + 5));
            if (length < 24)
                piece.m_error = "record length " + std::to_string(length) + " is below 24";
            else if (length > file.size() - pos)
                piece.m_error = "record length " + std::to_string(length) + " runs past the end of the file";
            else if (file[pos + length - 1] != 0x1D)
                piece.m_error = "record does not end with 0x1D at its declared length";
        }
        if (piece.m_error.empty()) {
            piece.m_bytes.assign(file.begin() + pos, file.begin() + pos + length);
            pos += length;
        } else {
            size_t next = pos;
            while (next < file.size() && file[next] != 0x1D) ++next;
            pos = next < file.size() ? next + 1 : file.size();
        }
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

std::vector<IsoEncoding> ChooseEncodings(const std::vector<IsoPiece>& pieces, IsoEncoding encoding, IsoFormat format) {
    std::vector<IsoEncoding> chosen(pieces.size(), encoding);
    if (encoding != IsoEncoding::Auto || format != IsoFormat::Usmarc) return chosen;
    std::vector<std::string_view> records;
    records.reserve(pieces.size());
    for (const IsoPiece& piece : pieces)
        records.emplace_back(reinterpret_cast<const char*>(piece.m_bytes.data()), piece.m_bytes.size());
    const std::vector<bool> marc8 = GuessMarc8(records);
    for (size_t i = 0; i < pieces.size(); ++i)
        if (marc8[i]) chosen[i] = IsoEncoding::Marc8;
    return chosen;
}

int ConvertIsoRecord(const CByteArray& record, IsoEncoding encoding, IsoFormat format, std::string& diriv,
                     std::string& error) {
    if (encoding == IsoEncoding::Marc8) {
        std::string utf8;
        if (!Iso2709Recode(std::string_view(reinterpret_cast<const char*>(record.data()), record.size()), "MARC-8",
                           "UTF-8", utf8, error))
            return -1;
        utf8[9] = static_cast<char>(record[9]);  // the record keeps saying what it was loaded from
        if (ConvertIsoRecord(CByteArray(utf8.begin(), utf8.end()), IsoEncoding::Utf8, format, diriv, error) < 0)
            return -1;
        return 0;
    }
    bool given = true;
    bool utf8 = encoding == IsoEncoding::Utf8;
    if (encoding == IsoEncoding::Auto) {
        if (format == IsoFormat::Usmarc)
            utf8 = record.size() > 9 && record[9] == 'a';
        else
            utf8 = UnimarcDeclaresUnicode(record);
        given = utf8;  // not declared: let Iso2Diriv look at field 100 itself
    }
    const CMarcFormat flavour = format == IsoFormat::Usmarc ? CMarcFormat::kMarc21 : CMarcFormat::kUnimarc;
    if (Iso2Diriv(record, diriv, error, given, utf8, flavour) < 0) return -1;
    CMARC marc;
    if (marc.Parse(diriv, error) < 0) return -1;
    return 0;
}

bool GetRecordNumber(const std::string& diriv, int64_t& number) {
    CMARC marc;
    std::string error;
    if (marc.Parse(diriv, error) < 0) return false;
    const CMARCItem* f001 = marc.FindField("001");
    if (f001 == nullptr) return false;
    std::string value = f001->GetValue();
    if (value.size() != 7 || !AllDigits(reinterpret_cast<const unsigned char*>(value.data()), 7)) return false;
    number = std::stoll(value);
    return number >= 1;
}

int RenumberRecord(std::string& diriv, int64_t number, std::string& error) {
    CMARC marc;
    if (marc.Parse(diriv, error) < 0) return -1;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07lld", static_cast<long long>(number));
    std::string old001, org;
    if (const CMARCItem* f = marc.FindField("001")) old001 = f->GetValue();
    if (const CMARCItem* f = marc.FindField("003")) org = f->GetValue();
    marc.RemoveFields("001");
    marc.RemoveFields("003");
    marc.m_fields.insert(marc.m_fields.begin(), CMARCItem::MakeControlField("001", digits));
    if (!old001.empty()) {
        std::string value = org.empty() ? old001 : "(" + org + ")" + old001;
        marc.InsertField(CMARCItem::MakeDataField("035", ' ', ' ', {{'a', value}}));
    }
    marc.BuildMARC(diriv);
    return 0;
}
