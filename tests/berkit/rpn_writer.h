#pragma once
// A small BER writer (definite lengths) for the requests and type-1 queries the tests send,
// encoded as yaz-client encodes them.

#include <initializer_list>
#include <string>
#include <utility>

#include "berkit/bytearray.h"

namespace rpnwriter {

inline CByteArray Tlv(const CByteArray& tag, const CByteArray& content) {
    CByteArray out = tag;
    const size_t n = content.size();
    if (n < 128) {
        out.push_back(static_cast<unsigned char>(n));
    } else if (n < 256) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}
inline CByteArray Text(const std::string& s) { return CByteArray(s.begin(), s.end()); }
inline CByteArray Int(int v) {
    CByteArray out;
    if (v >= -128 && v < 128)
        return {static_cast<unsigned char>(v)};
    out = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
           static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    return out;
}
inline CByteArray Cat(std::initializer_list<CByteArray> parts) {
    CByteArray out;
    for (const CByteArray& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// RPN pieces as yaz-client encodes them.
// An operand of (type, value) attribute elements and a general term.
inline CByteArray Operand(std::initializer_list<std::pair<int, int>> attributes, const std::string& term) {
    CByteArray elements;
    for (const auto& [type, value] : attributes)
        elements = Cat({elements, Tlv({0x30}, Cat({Tlv({0x9f, 0x78}, Int(type)), Tlv({0x9f, 0x79}, Int(value))}))});
    return Tlv({0xa0}, Tlv({0xbf, 0x66}, Cat({Tlv({0xbf, 0x2c}, elements), Tlv({0x9f, 0x2d}, Text(term))})));
}
inline CByteArray Term(int use, const std::string& term) { return Operand({{1, use}}, term); }
inline CByteArray SetRef(const std::string& name) { return Tlv({0xa0}, Tlv({0x9f, 0x1f}, Text(name))); }
// op: 0 and, 1 or, 2 and-not, 3 proximity.
inline CByteArray Op(int op, const CByteArray& left, const CByteArray& right) {
    const CByteArray oper = Tlv({0xbf, 0x2e}, Tlv({static_cast<unsigned char>(0x80 + op)}, {}));
    return Tlv({0xa1}, Cat({left, right, oper}));
}
inline CByteArray And(const CByteArray& l, const CByteArray& r) { return Op(0, l, r); }
inline CByteArray Or(const CByteArray& l, const CByteArray& r) { return Op(1, l, r); }
inline CByteArray AndNot(const CByteArray& l, const CByteArray& r) { return Op(2, l, r); }

}  // namespace rpnwriter
