#pragma once
// Decoders of the structured parts of the Z39.50 requests the server accepts: Init
// authentication and character-set negotiation, Search database names and type-1 (RPN) queries,
// Extended Services "update". Each takes a node the caller located in a DecodeBER tree, follows
// tag numbers only (never classes) and ignores children it does not know. Any tree DecodeBER can
// produce is safe input: missing children, primitives where constructed nodes are expected and
// null child pointers give the documented failure result, never a crash.
// Thread safety: none needed; the decoders touch only the caller's tree and outputs.

#include <string>
#include <utility>
#include <vector>

#include "bernode.h"

// Deepest rpnRpnOp nesting the RPN walkers follow; deeper queries are rejected as "bad RPN query".
// Session code walking the tree itself should use the same bound.
constexpr int kRPNMaxDepth = 48;

// Form of the idAuthentication decoded by DecodeAuthentication.
enum : int { AUTH_FORM_OPEN = 1, AUTH_FORM_IDPASS = 2 };

// --- Search --------------------------------------------------------------------------------------

// The top RPNStructure ([0] op or [1] rpnRpnOp) of a query [21] element whose first child is a
// type-1 query; null when there is none or the attribute set is not bib-1. The node stays owned
// by the tree.
CBERNode* GetRPNStructureRoot(CBERNode* query);
// The tag of the first child of an Operator [46] node (0 and, 1 or, 2 and-not, 3 prox), or -1.
int DecodeRPNOperator(CBERNode* op);
// Reads an AttributesPlusTerm [102] node: type/value of the use attribute (the first element
// whose attributeType is 1; without one, the first element) and the general term (UTF-8 converted
// to the ANSI code page when utf8). The caller presets type and value to -1. Returns 0, -1 for a
// null node; throws extended_exception "bad RPN query", "only support Attributes" or "only
// support general Term" for an operand that is not attributes plus a general term.
int DecodeAttributeAndTerm(CBERNode* node, long& type, long& value, std::string& term, bool utf8);
// DecodeAttributeAndTerm without the exception: null when read, else the text it would throw
// (also "bad RPN query" for a null node).
const char* ReadAttributeAndTerm(CBERNode* apt, long& type, long& value, std::string& term, bool utf8);
// Appends every (attributeType, numeric attributeValue) pair of an AttributesPlusTerm [102] node
// to attrs, in wire order; elements without a numeric value are skipped. Returns the number of
// pairs appended, or -1 for a null node or one without an AttributeList [44]. Never throws.
int DecodeAttributeList(CBERNode* apt, std::vector<std::pair<long, long>>& attrs);
// Translates a whole query [21] into a text expression such as "((uniname_4 LIKE %a%) AND
// (uniname_1003 LIKE %b%))". Returns 0, -1 for a null node; throws "no query item",
// "not type-1 query. unsorpported query type", "support bib-1 only" and the messages of
// DecodeRPNStructure. `unused` is never read or written.
int DecodeSearchQuery(CBERNode* query, std::string& text, std::string& unused);
// Translates one RPNStructure ([0] or [1]) into text. Returns true; throws "bad RPN query",
// "only support Attributes + Term", "only support Attributes", "only support general Term" or
// "unsupported query operator". `flag` is not consulted.
bool DecodeRPNStructure(CBERNode* rpn, std::string& text, bool flag);
// Appends the text of every DatabaseName [105] child to names (the list is not emptied first).
// False only for a null node.
bool DecodeDBName(CBERNode* node, std::vector<std::string>& names, bool utf8);

// --- Init ----------------------------------------------------------------------------------------

// Reads the idAuthentication [7] element. idPass: form AUTH_FORM_IDPASS and groupId/userId/
// password into group/user/password (each only when present). open: form AUTH_FORM_OPEN, user =
// the text before the first "/" (all of it without one), password = the text after it when not
// empty. Anonymous and other choices leave every output unchanged. False for a null or empty node.
bool DecodeAuthentication(CBERNode* node, std::string& group, std::string& user, std::string& password,
                          int& form);
// Reads the character-set negotiation from an otherInfo [201] element. utf8: the proposal or
// response names UTF-8 (iso10646 encodingLevel 1.0.10646.1.0.8); recordsInCharSet: its
// recordsInSelectedCharSets, forced false without utf8. The negotiation may sit inside the
// EXTERNAL's single-ASN1-type [0] (the standard form, sent by yaz-client) or directly below
// externallyDefinedInfo [4]; *wrapped (when given) tells which. Returns 0 when a negotiation was
// found, else -1.
int DecodeCharSetNegotiation(CBERNode* node, bool& utf8, bool& recordsInCharSet, bool* wrapped = nullptr);

// --- Extended Services "update" ------------------------------------------------------------------

// The esRequest [1] inside a taskSpecificParameters [10] element, or null.
CBERNode* DecodeESRequestPtr(CBERNode* node);
// Reads action and databaseName from toKeep into action/database (each only when present) and
// returns the SEQUENCE OF supplied records (tag 16) from notToKeep, or null. The returned node
// stays owned by the tree.
CBERNode* DecodeESRequest(CBERNode* esRequest, long& action, std::string& database, bool utf8);
// Reads one supplied record (tag 16): data = the octet-aligned record octets, syntax = the
// record's direct-reference OID text. Returns 0, -1 for a null node or one that is not tag 16.
// `unused` is never read or written.
int DecodeESUpdateRecord(CBERNode* record, std::string& unused, std::string& syntax, CByteArray& data);
