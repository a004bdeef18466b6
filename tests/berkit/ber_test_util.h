#pragma once
// Helpers shared by the berkit codec tests: hex octet strings and decoding that reports the
// exception message.

#include <string>

#include "berkit/bernode.h"

// "30 03 02 01 05" -> octets; spaces are ignored.
inline CByteArray Hex(const std::string& text)
{
    CByteArray out;
    std::string digits;
    for (char c : text) {
        if (c != ' ')
            digits.push_back(c);
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

struct DecodeOutcome {
    int result = 0;       // DecodeBER's result when it returned
    std::string error;    // the exception's message when it threw, else ""
};

// Decodes `bytes` under `root`, catching the codec's exception.
inline DecodeOutcome Decode(CBERNode& root, const CByteArray& bytes)
{
    DecodeOutcome outcome;
    CByteArray copy(bytes);
    try {
        outcome.result = DecodeBER(&root, copy.data(), static_cast<int>(copy.size()));
    } catch (extended_exception& e) {
        outcome.error = e.m_strMessage;
        outcome.result = -2;
    }
    return outcome;
}

// Root-level encoding of a tree.
inline CByteArray Encode(CBERNode& root)
{
    CByteArray out;
    root.EncodeBER(out);
    return out;
}
