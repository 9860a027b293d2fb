// What a program sees of an engine result: the FILE STATUS digits, and the
// diagnostic message written into its message area.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/file_status.h"
#include "runtime/messages.h"
#include "support/attribute_block.h"
#include "vmqrmkvr/fcb.h"

namespace {

using kvr::test::attribute_block;

TEST(FileStatus, FileNotOpenDependsOnTheVerb) {
    using kvr::runtime::record_verb_status;
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_READ), 47);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_WRITE), 48);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_REWRITE), 48);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_DELETE), 30);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_START), 30);
}

// The area holds the code's six digits, then the text and, for the codes of
// a mismatch with an existing file, that file's attributes, cut where the
// area ends and padded with blanks; nothing is written outside it.
TEST(Message, DigitsTextAndAttributesCutToTheArea) {
    const auto fixed = attribute_block(80, 80, {{1, 10}});
    const auto variable = attribute_block(5, 300, {{1, 8}, {20, 4, true}});
    const auto relative = attribute_block(14, 104, {{1, 4, false, IX_KEY_TYPE_NUMBER}}, 0);
    // Claims two keys but holds one key spec: the area fills up inside the
    // first key piece, so the second spec is never read.
    auto one_spec = attribute_block(1, 1, {{1, 1}});
    one_spec[18] = 2;
    const struct {
        int length;
        int code;
        const unsigned char* attributes;
        std::string text;
    } cases[] = {
        {80, 1004, fixed.data(), "001004,Number of keys differ,fixed length 80 80,1 key,(1 10)"},
        {100, 1007, variable.data(),
         "001007,Key length or position differs,variable length 5 300,2 keys,(1 8),(20 4 DUPOK)"},
        {60, 1005, relative.data(), "001005,Record lengths differ,fixed length 10 100"},
        {40, 1003, fixed.data(), "001003,File does not exist"},
        {40, 9, fixed.data(), "000009,End of file"},
        {5, 4, nullptr, ""},  // too short for the digits
        {6, 4, nullptr, "000004"},
        {7, 4, nullptr, "000004,"},
        {8, 4, nullptr, "000004,K"},
        {20, 0, nullptr, "000000"},
        {20, 8, nullptr, "000008"},
        {20, 4321, nullptr, "004321"},
        {30, 21, nullptr, "000024,Invalid file"},
        {30, 24, nullptr, "000024,Invalid file"},
        {40, 16, nullptr, "000016,File aready exists"},
        {28, 1004, fixed.data(), "001004,Number of keys differ"},
        {29, 1004, fixed.data(), "001004,Number of keys differ,"},
        {58, 1004, fixed.data(), "001004,Number of keys differ,fixed length 80 80,1 key,(1 1"},
        {57, 1004, one_spec.data(), "001004,Number of keys differ,fixed length 1 1,2 keys,(1 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<unsigned char> area(c.length + 2, '#');  // a guard byte on each side
        _vmq_filestat2(area.data() + 1, c.length, c.code, c.attributes);
        const std::string padded = c.text + std::string(c.length - c.text.size(), ' ');
        EXPECT_EQ(std::string(area.begin(), area.end()), "#" + padded + "#");
    }
}

}  // namespace
