// Damaged files give result 2 (never a crash, an overrun or an endless
// walk), and a file that would grow past what its offsets name is refused
// with 11 before anything is written.
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

using StoreDamage = StoreTest;

TEST_F(StoreDamage, FreeListLinksMustLeadToFreeSlotsInsideTheFile) {
    create();
    const uint32_t a = put(record(1, 20)), b = put(record(2, 12));
    put(record(3, 20));
    ASSERT_EQ(remove(a), 0);
    const std::string free_a = slot_header(0x08, 24) + le32(0);
    const std::pair<uint32_t, std::string> cases[] = {
        {100, free_a},                           // in the header
        {a + 4096, free_a},                      // past the end
        {a, slot_header(0x08, 24) + le32(a)},    // linked to itself
        {a, slot_header(0x08, 20) + le32(0)},    // smaller than the table says
        {a, slot_header(0x08, 5000) + le32(0)},  // reaching past the end
    };
    for (const auto& [head, at_a] : cases) {
        header().set_free_list_head(1, head);
        header().set_free_list_size(1, 24);
        patch(a, at_a);
        uint32_t address = 0;
        EXPECT_EQ(put(record(4, 20), &address), 2) << testing::PrintToString(at_a);
        EXPECT_EQ(header().free_list_head(1), head);
    }
    // A walk that meets a link into the header stops there.
    patch(a, slot_header(0x08, 24) + le32(100) + le32(20));
    EXPECT_EQ(remove(b), code(kIoError));
}

// The avail list of the block format and the index-block list of the slot
// format: a head or a link that names no free block of the file.
TEST_F(StoreDamage, BlockListsMustLeadToFreeBlocksInsideTheFile) {
    // Heads past the end, in the header, at the block in use (a), negative.
    const struct {
        bool blocks;
        uint32_t at;
        bool past_a;  // at counts from a
        Status result;
    } heads[] = {{true, 4096, true, kEndOfFile}, {true, 16, false, kIoError},
                 {true, 0, true, kIoError},      {true, 0x80000000, false, kIoError},
                 {false, 8192, true, kIoError},  {false, 100, false, kIoError},
                 {false, 0, true, kIoError}};
    for (const bool blocks : {true, false}) {
        create({.block_format = blocks});
        auto get = blocks ? _vmq_get_block : _vmq_get_index_block;
        auto release = blocks ? _vmq_release_block : _vmq_release_index_block;
        unsigned char* head_at = handle->image.get() + (blocks ? 20 : 0xC0);
        uint32_t a = 0, got = 0;
        ASSERT_EQ(get(handle.get(), &a, 0), 0);
        for (const auto& head : heads) {
            if (head.blocks == blocks) {
                platform::store_u32(head_at, head.at + (head.past_a ? a : 0));
                EXPECT_EQ(get(handle.get(), &got, 0), code(head.result)) << head.at;
            }
        }
        platform::store_u32(head_at, 0);
        ASSERT_EQ(release(handle.get(), a), 0);
        patch(a + (blocks ? 24 : 4), le32(a));  // a free block that links to itself
        EXPECT_EQ(get(handle.get(), &got, 0), code(kIoError));
        EXPECT_EQ(release(handle.get(), 1024), code(kIoError));
    }
}

TEST_F(StoreDamage, RecordSlotsAreCheckedBeforeUse) {
    create();
    const uint32_t a = put(record(1, 20)), b = put(record(2, 20));
    reopen();
    const std::string intact = raw(kHeaderSize, 48);
    const std::pair<uint32_t, std::string> cases[] = {
        {a, slot_header(0x08, 24)},                                      // free
        {a, slot_header(0x07, 24)},                                      // unknown type
        {a, slot_header(0x24, 24)},                                      // slack bits alone
        {a, slot_header(0x04, 3)},                                       // under its header
        {b, slot_header(0x04, 26)},                                      // cut off by the end
        {b, slot_header(0x34, 24)},                                      // slack past the end
        {b, slot_header(0x14, 20) + std::string(16, 'x') + le32(1000)},  // the same
        {b, slot_header(0x14, 20) + std::string(16, 'x') + le32(2)},     // slack word under 4
    };
    std::string data;
    for (const auto& [at, bytes] : cases) {
        patch(at, bytes);
        EXPECT_EQ(get(at, &data), 2) << testing::PrintToString(bytes);
        EXPECT_EQ(remove(at), 2) << testing::PrintToString(bytes);
        patch(kHeaderSize, intact);
    }
    EXPECT_EQ(get(100, &data), code(kIoError));                   // inside the header
    EXPECT_EQ(get(kHeaderSize + 4096, &data), code(kEndOfFile));  // past the end
    EXPECT_EQ(header().free_list_head(1), 0u);

    const uint32_t c = put(record(3, 20));  // in the append buffer
    handle->write_buffer[1] = 50;           // longer than what the buffer holds
    EXPECT_EQ(get(c, &data), code(kIoError));
}

// A slot whose slack word claims far more than any record: its class is held
// to the table, and reusing it writes the slack without overrunning the
// record buffer.
TEST_F(StoreDamage, HugeSlotsStayInsideTheTableAndTheBuffer) {
    create();
    const uint32_t a = put(record(1, 20));
    reopen();
    resize_file(file_size() + 10000);
    std::string data;
    patch(a, slot_header(0x04, 120));  // more data than the record buffer holds
    EXPECT_EQ(get(a, &data), code(kIoError));
    patch(a, slot_header(0x14, 24));
    patch(a + 24, le32(9000));
    ASSERT_EQ(remove(a), 0);
    EXPECT_EQ(list(6), std::vector<uint32_t>{a});
    EXPECT_EQ(raw(a, 4), slot_header(0x08, 9024));
    EXPECT_EQ(put(record(2, 100)), a);
    EXPECT_EQ(get(a), record(2, 100));
    EXPECT_EQ(handle->last_slot_size, 9024u);
    EXPECT_EQ(raw(a + 104, 8920), le32(8920) + std::string(8916, ' '));
}

// Slot files stay below 4 GiB, buffered or not; block files below 2 GiB.
TEST_F(StoreDamage, FilesStayBelowWhatTheirOffsetsName) {
    for (uint32_t options : {0u, engine::kOptionImmediateFreeSpace}) {
        create({.options = options});
        resize_file(0xFFFFFFFFu - 30);  // a sparse file with room for one slot of 24
        EXPECT_EQ(put(record(1, 20)), 0xFFFFFFFFu - 30);
        uint32_t address = 0;
        EXPECT_EQ(put(record(2, 20), &address), code(kNoSpace));
        EXPECT_EQ(address, 0u);
        EXPECT_EQ(_vmq_get_index_block(handle.get(), &address, 0), code(kNoSpace));
        reopen();
        EXPECT_EQ(file_size(), 0xFFFFFFFFu - 6);
        EXPECT_EQ(get(0xFFFFFFFFu - 30), record(1, 20));
    }
    create({.block_format = true});
    resize_file(0x7FFFFFFFu - 4096);
    uint32_t address = 0;
    ASSERT_EQ(_vmq_get_block(handle.get(), &address, 0), 0);
    EXPECT_EQ(address, 0x7FFFFFFFu - 4096);
    address = 0;
    EXPECT_EQ(_vmq_get_block(handle.get(), &address, 0), code(kNoSpace));
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(file_size(), 0x7FFFFFFFu);
}

}  // namespace
}  // namespace kvr::store::test
