// The diagnostic message written into a program's message area.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/messages.h"
#include "support/attribute_block.h"
#include "vmqrmkvr/attributes.h"

namespace {

std::string message(int length, int code, const unsigned char* attributes = nullptr) {
    // One guard byte on each side catches a write outside the area.
    std::vector<unsigned char> area(length + 2, '#');
    _vmq_filestat2(area.data() + 1, length, code, attributes);
    EXPECT_EQ(area.front(), '#');
    EXPECT_EQ(area.back(), '#');
    return std::string(area.begin() + 1, area.end() - 1);
}

std::string padded(const std::string& text, size_t length) {
    return text + std::string(length - text.size(), ' ');
}

using kvr::test::attribute_block;

TEST(Message, KeysDifferShowsTheExistingFilesAttributes) {
    auto block = attribute_block(80, 80, {{1, 10}});
    EXPECT_EQ(message(80, 1004, block.data()),
              padded("001004,Number of keys differ,fixed length 80 80,1 key,(1 10)", 80));
}

TEST(Message, AttributeTextForVariableRecordsAndSeveralKeys) {
    auto block = attribute_block(5, 300, {{1, 8}, {20, 4, true}});
    EXPECT_EQ(message(100, 1007, block.data()),
              padded("001007,Key length or position differs,variable length 5 300,"
                     "2 keys,(1 8),(20 4 DUPOK)",
                     100));
}

TEST(Message, RelativeFileShowsLengthsWithoutItsNumberAndNoKeys) {
    auto block = attribute_block(14, 104, {{1, 4, false, IX_KEY_TYPE_NUMBER}}, 0);
    EXPECT_EQ(message(60, 1005, block.data()),
              padded("001005,Record lengths differ,fixed length 10 100", 60));
}

TEST(Message, AttributesOnlyForTheMismatchCodes) {
    auto block = attribute_block(80, 80, {{1, 10}});
    EXPECT_EQ(message(40, 1003, block.data()), padded("001003,File does not exist", 40));
    EXPECT_EQ(message(40, 9, block.data()), padded("000009,End of file", 40));
}

TEST(Message, ShortAreas) {
    EXPECT_EQ(message(5, 4), "     ");   // too short for the digits
    EXPECT_EQ(message(6, 4), "000004");  // digits only, even with a text
    EXPECT_EQ(message(7, 4), "000004,");
    EXPECT_EQ(message(8, 4), "000004,K");
}

TEST(Message, CodesWithoutTextGiveOnlyDigits) {
    EXPECT_EQ(message(20, 0), padded("000000", 20));
    EXPECT_EQ(message(20, 8), padded("000008", 20));
    EXPECT_EQ(message(20, 4321), padded("004321", 20));
}

TEST(Message, InvalidFileIsReportedAs24) {
    EXPECT_EQ(message(30, 21), padded("000024,Invalid file", 30));
    EXPECT_EQ(message(30, 24), padded("000024,Invalid file", 30));
    EXPECT_EQ(message(40, 16), padded("000016,File aready exists", 40));
}

TEST(Message, FullAreaTakesNoFurtherComma) {
    // Exactly room for the text: the attribute pieces have nowhere to go.
    auto block = attribute_block(80, 80, {{1, 10}});
    std::string text = "001004,Number of keys differ";
    EXPECT_EQ(message(static_cast<int>(text.size()), 1004, block.data()), text);
    // One byte more holds only the comma of the next piece.
    EXPECT_EQ(message(static_cast<int>(text.size()) + 1, 1004, block.data()), text + ",");
    // Cut in the middle of a key piece.
    EXPECT_EQ(message(58, 1004, block.data()),
              "001004,Number of keys differ,fixed length 80 80,1 key,(1 1");
}

TEST(Message, KeySpecsAreNotReadOnceTheAreaIsFull) {
    // The block claims two keys but holds one key spec; the area fills up inside
    // the first key piece, so the missing second key spec is never read (the
    // sanitizer build would report the read).
    auto block = attribute_block(1, 1, {{1, 1}});
    ix_attributes a{};
    ix_attributes_decode(block.data(), &a);
    a.key_count = 2;
    ix_attributes_encode(block.data(), &a);
    EXPECT_EQ(message(57, 1004, block.data()),
              "001004,Number of keys differ,fixed length 1 1,2 keys,(1 1");
}

}  // namespace
