// PQF -> type-1 query tree: libyaz parses and BER-encodes the RPN structure, berkit decodes it as
// it decodes the query of a searchRequest.
#include <yaz/odr.h>
#include <yaz/pquery.h>
#include <yaz/proto.h>

#include "server/sru/cqlquery.h"

std::unique_ptr<CZQueryNode> PqfToQuery(const std::string& pqf, CSruDiagnostic& error) {
    error = {};
    if (pqf.size() > kCqlMaxQueryBytes) {
        error = {kSruQueryTooLong, std::to_string(kCqlMaxQueryBytes)};
        return nullptr;
    }
    ODR o = odr_createmem(ODR_ENCODE);
    YAZ_PQF_Parser parser = yaz_pqf_create();
    Z_RPNQuery* rpn = yaz_pqf_parse(parser, o, pqf.c_str());
    std::unique_ptr<CZQueryNode> tree;
    int length = 0;
    if (rpn != nullptr && z_RPNStructure(o, &rpn->RPNStructure, 0, nullptr)) {
        char* buffer = odr_getbuf(o, &length, nullptr);
        CBERNode root;
        if (DecodeBER(&root, reinterpret_cast<unsigned char*>(buffer), length) == length &&
            !root.m_arrChildren.empty())
            tree = DecodeQuery(root.m_arrChildren[0], true, CZQueryReading::kLenient);
    }
    yaz_pqf_destroy(parser);
    odr_destroy(o);
    if (!tree)
        error = {kSruQuerySyntax, pqf};
    return tree;
}
