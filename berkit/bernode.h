#pragma once
// CBERNode: one node of a BER (ITU-T X.690) tree: the decoder, the completeness test, the encoder
// and the builders that every Z39.50 PDU passes through.
// Ownership: a node owns its children (heap objects) and deletes them in ClearArray() and its
// destructor. A root has no header of its own: EncodeBER emits its children, DecodeBER appends to it.
// Thread safety: none. A tree belongs to the session thread that decoded or built it.

#include <cstdint>
#include <string>
#include <vector>

#include "bytearray.h"
#include "extended_exception.h"

class CBERNode {
public:
    CBERNode();
    virtual ~CBERNode();
    CBERNode(const CBERNode&) = delete;
    CBERNode& operator=(const CBERNode&) = delete;

    // Deletes all children and empties the child array.
    void ClearArray();
    // Appends `node` (which must have no parent) as the last child; this node owns it. Returns 0.
    int AddSubtree(CBERNode* node);
    // Neighbours in the parent's child array; null at either end or without a parent.
    CBERNode* GetLeftSibling();
    CBERNode* GetRightSibling();

    // Sets used = length and returns DecodeBER(this, data, length).
    int BuildPartTree(const char* data, int length, int& used);

    // Empties `out`, rebuilds this node's content from its children and appends that content.
    // Applied to a root this yields the encodings of all its children. Returns 0.
    int EncodeBER(CByteArray& out);
    // Rebuilds m_baContent of a constructed node from its children; false for a primitive node.
    bool Encode();
    // Appends identifier, length and content octets of this node to `out`. Returns true.
    bool EncodeSelf(CByteArray& out);
    // Replaces `out` with this node's identifier octets. Returns 0.
    int MakeTagClassFormPart(CByteArray& out);
    // Writes the length octets for `length` content octets into the (empty) `out`. Returns 0.
    int MakeLengthPart(CByteArray& out, int length);

    // Generic builders: each appends a new child owned by this node and returns it.
    CBERNode* NewChildNoContentNode(unsigned char byClass, unsigned char form, unsigned int tag);
    CBERNode* NewChildconstructedNode(unsigned int tag, unsigned char byClass);
    CBERNode* NewChildCharNode(unsigned char byClass, unsigned char form, unsigned int tag, char* data,
                               int length);
    CBERNode* NewChildCharNode(unsigned int tag, unsigned char byClass, char* data, int length);
    CBERNode* NewChildCharNode(unsigned int tag, unsigned char byClass, const CByteArray& data);

    // Typed builders (primitive values).
    CBERNode* NewChildIntegerNode(unsigned char byClass, unsigned char form, unsigned int tag, int value);
    CBERNode* NewChildIntegerNode(unsigned int tag, unsigned char byClass, char* data, int length);
    CBERNode* NewChildIntegerNode(unsigned int tag, unsigned char byClass, const CByteArray& data);
    CBERNode* NewChildBooleanNode(unsigned char byClass, unsigned char form, unsigned int tag, bool value);
    CBERNode* NewChildBitStringNode(unsigned char byClass, unsigned char form, unsigned int tag,
                                    CByteArray& flags);
    CBERNode* NewChildBitStringNode(unsigned char byClass, unsigned char form, unsigned int tag,
                                    const char* text);
    CBERNode* NewChildBitStringNode(unsigned int tag, unsigned char byClass, const CByteArray& flags);
    CBERNode* NewChildBitStringNode(unsigned int tag, unsigned char byClass, char* text, int length);
    CBERNode* NewChildOIDNode(unsigned char byClass, unsigned char form, unsigned int tag, const char* text);
    CBERNode* NewChildOIDNode(unsigned char byClass, unsigned char form, unsigned int tag, char* text,
                              int length);
    CBERNode* NewChildGeneralStringNode(unsigned char byClass, unsigned char form, unsigned int tag,
                                        std::string text, bool utf8);

    // Z39.50 builders: the character-set negotiation otherInfo [201] subtree, and a diagnostic
    // stub that builds nothing (always null). `wrapped` puts the negotiation inside the EXTERNAL's
    // single-ASN1-type [0], as yaz-client sends and requires.
    CBERNode* NewChildOtherInfoUTF8(bool proposal, bool recordsInCharSet, bool wrapped = false);
    CBERNode* NewChildOtherInfoDiag1(int code, std::string text);

    // Accessors: apply the value decoder to this node's content; each returns 0.
    int GetInteger(long& value);
    int GetString(std::string& text, bool utf8);
    int GetChar(std::string& text);
    int GetOID(std::string& text);
    int GetBitstring(std::string& text);

    // Kept for callers of the original library; they do nothing.
    void DumpToFile(const char* path);
    void DumpDebugInfoToFile(const char* path);

    unsigned int m_uTag;      // tag number; 0 after construction
    unsigned char m_byClass;  // 0 universal, 1 application, 2 context-specific, 3 private
    unsigned char m_bConstructed;  // 1 constructed (the default), 0 primitive
    int m_nLength;            // length as decoded; -1 for the indefinite form
    CByteArray m_baContent;   // content octets (rebuilt from the children for a constructed node)
    CBERNode* m_pParent;      // null for a root
    std::vector<CBERNode*> m_arrChildren;  // owned, in document order
};

// Tag classes and forms as the builders take them.
enum : unsigned char { BER_UNIVERSAL = 0, BER_APPLICATION = 1, BER_CONTEXT = 2, BER_PRIVATE = 3 };
enum : unsigned char { BER_PRIMITIVE = 0, BER_CONSTRUCTED = 1 };

// Decodes the BER elements in the first `length` octets of `data` and appends them to `parent`.
// Returns the octets consumed, or -1 when nothing was consumed. Throws extended_exception (code 0)
// on malformed input; nodes made before the throw stay in the tree.
int DecodeBER(CBERNode* parent, unsigned char* data, int length);
// How the first element of a buffer is framed (BerFrameLength).
enum class BerFrame { kIncomplete, kDefinite, kIndefinite, kMalformed };
// Reads the identifier and length octets at the start of `data` (`available` octets): the one
// frame-length reader of the session and IsCompleteBER. For a definite length `total` gets header
// + content octets (length fields of up to 8 octets; 64-bit, so a large declared length is
// reported as such rather than as malformed); `headerOctets`, when given, the header's size.
// kIncomplete when the header has not fully arrived; kMalformed for a tag number above 32 bits, a
// length field of more than 8 octets or the reserved form 0xFF.
BerFrame BerFrameLength(const unsigned char* data, long available, int64_t& total, int* headerOctets = nullptr);
// True when `data` begins with one complete BER element; `total` gets its length, or the octets
// still missing for a definite length, or -1. Never throws.
bool IsCompleteBER(unsigned char* data, long length, long* total);
