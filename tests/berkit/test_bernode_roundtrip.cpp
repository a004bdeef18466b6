// Property test: random trees made with the builders encode, decode and re-encode to identical
// octets, from the definite encoding and from an indefinite-length re-encoding of the same tree.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ber_test_util.h"
#include "berkit/bernode.h"

namespace {

class CBERRoundTripTest : public ::testing::Test {
protected:
    std::mt19937 random{20051223};

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

    unsigned PickTag()
    {
        switch (Pick(0, 3)) {
        case 0: return static_cast<unsigned>(Pick(0, 30));
        case 1: return static_cast<unsigned>(Pick(31, 127));
        case 2: return static_cast<unsigned>(Pick(128, 16383));
        default: return static_cast<unsigned>(Pick(16384, 1 << 30));
        }
    }

    // Adds `count` random children under `parent`, constructed ones down to `depth` levels.
    void Grow(CBERNode* parent, int depth, int count)
    {
        for (int i = 0; i < count; ++i) {
            unsigned char byClass = static_cast<unsigned char>(Pick(0, 3));
            unsigned tag = PickTag();
            if (byClass == BER_UNIVERSAL && tag == 0)
                tag = 1;  // universal 0 with an empty content would read as end-of-contents
            switch (depth > 0 ? Pick(0, 6) : Pick(0, 4)) {
            case 0: parent->NewChildIntegerNode(byClass, BER_PRIMITIVE, tag, static_cast<int>(random())); break;
            case 1: parent->NewChildBooleanNode(byClass, BER_PRIMITIVE, tag, Pick(0, 1) == 1); break;
            case 2: parent->NewChildOIDNode(byClass, BER_PRIMITIVE, tag, "1.2.840.10003.5.10"); break;
            case 3: {
                CByteArray octets(static_cast<size_t>(Pick(0, 1) ? Pick(0, 3) : Pick(100, 300)));
                for (auto& octet : octets)
                    octet = static_cast<unsigned char>(Pick(0, 255));
                parent->NewChildCharNode(tag, byClass, octets);
                break;
            }
            case 4: parent->NewChildBitStringNode(byClass, BER_PRIMITIVE, tag, "yynnny"); break;
            default: Grow(parent->NewChildconstructedNode(tag, byClass), depth - 1, Pick(1, 4)); break;
            }
        }
    }

    // The encoding of `node` with the indefinite form for every constructed element, as clients send.
    static void IndefiniteForm(CBERNode* node, CByteArray& out)
    {
        CByteArray identifier;
        node->MakeTagClassFormPart(identifier);
        out.insert(out.end(), identifier.begin(), identifier.end());
        if (!node->m_bConstructed) {
            node->MakeLengthPart(out, static_cast<int>(node->m_baContent.size()));
            out.insert(out.end(), node->m_baContent.begin(), node->m_baContent.end());
            return;
        }
        out.push_back(0x80);
        for (CBERNode* child : node->m_arrChildren)
            IndefiniteForm(child, out);
        out.push_back(0);
        out.push_back(0);
    }

    // Decodes `bytes` into a fresh tree and returns that tree's definite encoding.
    static CByteArray Reencode(const CByteArray& bytes, std::string& error)
    {
        CBERNode decoded;
        auto outcome = Decode(decoded, bytes);
        error = outcome.error;
        if (outcome.result != static_cast<int>(bytes.size()))
            error += " consumed " + std::to_string(outcome.result);
        return Encode(decoded);
    }
};

TEST_F(CBERRoundTripTest, RandomTreesSurviveDefiniteAndIndefiniteRoundTrips)
{
    for (int tree = 0; tree < 3000; ++tree) {
        CBERNode root;
        Grow(&root, Pick(0, 5), Pick(1, 3));
        CByteArray definite = Encode(root);
        CByteArray indefinite;
        for (CBERNode* child : root.m_arrChildren)
            IndefiniteForm(child, indefinite);

        std::string error;
        ASSERT_EQ(Reencode(definite, error), definite) << "tree " << tree;
        ASSERT_EQ(error, "") << "tree " << tree;
        ASSERT_EQ(Reencode(indefinite, error), definite) << "tree " << tree;
        ASSERT_EQ(error, "") << "tree " << tree;

        long total = 0;
        CByteArray copy(indefinite);
        ASSERT_TRUE(IsCompleteBER(copy.data(), static_cast<long>(copy.size()), &total)) << "tree " << tree;
        CByteArray first;
        IndefiniteForm(root.m_arrChildren[0], first);
        ASSERT_EQ(total, static_cast<long>(first.size())) << "tree " << tree;
    }
}

}  // namespace
