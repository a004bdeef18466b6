#pragma once
// Sort keys of a record: the title, author or date of one Diriv record (MARC 21 or UNIMARC, text
// fields in the ANSI code page), folded with the search index's folding (case, width,
// normalisation form and diacritics), so that keys compare as octets in an order that matches the
// letters of every script. MARC 21: title 245 $a $b without the non-filing characters its second
// indicator counts; author the $a of 100, 110 or 111, else of 700; date 008/07-10, else the first
// four digits of 260 or 264 $c. UNIMARC: title 200 $a; author 700, 701 $a $b; date 100 $a/09-12,
// else 210 $d. Text between the non-sort marks U+0098 and U+009C is skipped.
// Thread safety: stateless; any thread.

#include <string>

#include "berkit/marcglobal.h"

enum class CSortKeyKind { kTitle, kAuthor, kDate };

// The key kind a bib-1 use attribute names (4 title, 1003 author, 31 date). False for others.
bool SortKeyKindOfUse(long use, CSortKeyKind& kind);

// Longest key kept (octets); longer keys are cut (at a character boundary).
constexpr size_t kSortKeyMaxLength = 240;

// The key of `diriv` into `key`. caseSensitive appends the unfolded text after the folded one, so
// keys that differ only in case still compare as different, the folded order first. False (key
// empty) when the record has no value for the key.
bool ExtractSortKey(const std::string& diriv, CSortKeyKind kind, CMarcFormat format, bool caseSensitive,
                    std::string& key);
// A UTF-8 text folded as ExtractSortKey folds record text (for missingValueData).
std::string FoldSortText(const std::string& utf8, bool caseSensitive);
