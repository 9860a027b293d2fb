// Create, open and close of indexed files, and the attribute block of an
// open one.
//
// Create writes the header area and nothing else: the file fields, the key
// table and one tree header per key. IX_CREATE always makes a slot-format
// file; the block format is made only on request from inside the system
// (tests, conversion). Open reads the whole area into the
// handle, checks that it describes a file this engine can work on, and opens
// the record store and every tree on it. Close writes the area back when the
// file was open for update.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "engine/file_header.h"
#include "engine/isam/ix_handle.h"
#include "engine/results.h"
#include "engine/store/store.h"
#include "platform/crt_file.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/isam.h"

namespace kvr::isam {

using namespace kvr::platform;
using engine::FileHeader;

namespace {

// Largest record the slot format can hold: a slot's 24-bit length covers the
// 4-byte slot header and the data.
constexpr uint32_t kMaxRecordLength = 0xFFFFFF - 16;
constexpr uint32_t kSmallestIndexBlock = 4096;
constexpr uint32_t kLargestIndexBlock = 32768;
constexpr int kFirstHeaderRead = 12;
// The smallest header area a sound file can have: the fixed fields, the key
// table and one tree header. Open reads and writes fixed fields before it
// knows the key count; a header this long holds all of them.
constexpr uint32_t kSmallestHeader = engine::tree_headers_at(1) + engine::kTreeHeaderSize;

// What tree i is created with, from the key table: its key type, and
// whether it keeps duplicates.
tree::CreateFlags tree_create_flags_of(const FileHeader& header, int i) {
    const tree::CreateFlags type{header.key_type(i)};
    return header.key_allows_duplicates(i) ? type | tree::kCreateDuplicates : type;
}

int tree_data_length(const FileHeader& header, int i) {
    return i == 0 ? 4 : header.key_length(0);
}

// A key a record can hold and a tree can keep: inside the first 32767 bytes,
// 1 to 255 bytes long; a numeric key (relative record number) is 4 or 8
// bytes.
bool key_is_usable(int32_t offset, int32_t length, int key_type) {
    if (offset < 0 || length < 1 || length > 255 || offset + length > 0x7FFF)
        return false;
    if (key_type == IX_KEY_TYPE_NUMBER)
        return length == 4 || length == 8;
    return key_type == IX_KEY_TYPE_BYTES;
}

int32_t compute_keys_end(const FileHeader& header, int key_count) {
    int32_t end = 0;
    for (int i = 0; i < key_count; ++i) {
        int32_t key_end = header.key_offset(i) + header.key_length(i);
        if (key_end > end)
            end = key_end;
    }
    return end;
}

bool is_power_of_two(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// Everything the engine and the layers below rely on in a header read from
// a file: a damaged header is refused here instead of being used.
// check_trees false: the tree headers are not looked at, for an open that
// leaves the trees closed.
bool header_is_sound(const FileHeader& header, bool check_trees = true) {
    const int key_count = header.key_count();
    if (key_count < 1 || key_count > engine::kMaxKeys)
        return false;
    // Every file is created with the header area its key count gives; any
    // other size would put the first slot or block in the wrong place.
    if (header.header_size() != engine::header_size_for(key_count))
        return false;
    const uint32_t trees_at = engine::tree_headers_at(key_count);
    if (header.header_size() < trees_at + engine::kTreeHeaderSize * key_count ||
        header.key_table_offset() != engine::kKeyTableOffset ||
        header.byte_order() != engine::kByteOrderMark)
        return false;
    if (header.max_record_length() > kMaxRecordLength ||
        header.min_record_length() > header.max_record_length())
        return false;
    const bool block_format = header.version() == engine::kVersionBlockFormat;
    const uint32_t block_size = header.index_block_size();
    if (!block_format && (!is_power_of_two(block_size) || block_size < kSmallestIndexBlock ||
                          block_size > kLargestIndexBlock))
        return false;
    // The block format's pages are blocks, never larger than the largest set.
    if (block_format && block_size > store::kLargestSetSize)
        return false;
    for (int i = 0; i < key_count; ++i) {
        if (header.tree_at(i) != trees_at + engine::kTreeHeaderSize * i ||
            !key_is_usable(header.key_offset(i), header.key_length(i), header.key_type(i)))
            return false;
        if (!check_trees)
            continue;
        tree::TreeShape shape{};
        shape.header_at = header.tree_at(i);
        shape.key_number = i;
        shape.key_length = header.key_length(i);
        shape.duplicates = header.key_allows_duplicates(i);
        shape.data_len = tree_data_length(header, i);
        shape.key_type = header.key_type(i);
        // A block-format tree's pages are checked against the set size when
        // the tree opens, once the store has settled that size.
        shape.max_page_size = block_format ? tree::kLargestBlockPageSize : block_size;
        shape.block_pages = block_format;
        if (!tree::tree_header_is_sound(header.image() + header.tree_at(i), shape))
            return false;
    }
    return header.keys_end() == compute_keys_end(header, key_count);
}

// The channel of the file an open works on: closed again when the open
// gives up, kept open once the handle has it.
class OpenedFile {
public:
    OpenedFile() = default;
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    ~OpenedFile() {
        if (io_.is_open())
            io_.close();
    }
    engine::FileChannel& io() { return io_; }
    // The handle's copy of the channel owns the file from now on.
    void hand_to(ix_handle* handle) {
        handle->io = io_;
        io_ = engine::FileChannel();
    }

private:
    engine::FileChannel io_;
};

// What open makes of a header, with the reason in words for the tools that
// tell people what is wrong with a file: engine::kOk and no reason for a
// header open can work with.
struct HeaderVerdict {
    engine::Result result = engine::kOk;
    std::string reason;
};

HeaderVerdict not_indexed(std::string reason) {
    return {engine::kNotIndexedFile, std::move(reason)};
}

// The first kFirstHeaderRead bytes of a file (`got` of them read): its mark
// and the size of its header area.
HeaderVerdict classify_header_start(const unsigned char* first, uint32_t got) {
    const engine::FileMark mark =
        got < kFirstHeaderRead ? engine::FileMark::kNone : engine::file_mark_of(first);
    if (mark == engine::FileMark::kNone)
        return not_indexed("the file does not begin with the mark of this system");
    if (mark == engine::FileMark::kSequential)
        return {engine::kSequentialFile, "a sequential file"};
    if (mark != engine::FileMark::kIndexed)
        return not_indexed("the file's mark names no organization of this system");
    const uint32_t header_size = platform::load_u32(first);
    if (header_size < kSmallestHeader || header_size > engine::header_size_for(engine::kMaxKeys))
        return not_indexed("the header size " + std::to_string(header_size) +
                           " is outside what a file of 1 to 255 keys has");
    return {};
}

// The whole header area, once classify_header_start has passed its first
// bytes. check_trees as for header_is_sound.
HeaderVerdict classify_header(const FileHeader& header, bool check_trees) {
    const int keys = header.key_count();
    const uint32_t header_size = header.header_size();
    if (!engine::is_readable_version(header.version())) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "version %x is older than the oldest this build reads (%x)", header.version(),
                      engine::kVersionBlockFormat);
        return not_indexed(text);
    }
    if (keys < 1 || keys > engine::kMaxKeys)
        return not_indexed("the key count " + std::to_string(keys) + " is outside 1 to 255");
    if (header_size != engine::header_size_for(keys))
        return not_indexed("the header size " + std::to_string(header_size) + " is not the " +
                           std::to_string(engine::header_size_for(keys)) + " bytes a file of " +
                           std::to_string(keys) + (keys == 1 ? " key" : " keys") + " has");
    if (!header_is_sound(header, check_trees))
        return not_indexed("the record lengths, the key table or a tree header is damaged");
    // Changed by an update that was never closed cleanly (a process that
    // died, or a failure part-way): its pages, records and header may
    // disagree.
    if (header.update_marker() == engine::kUpdateMarker)
        return {engine::kUnfinishedUpdate, "an update session never closed the file"};
    return {};
}

}  // namespace

engine::Result ix_create_file(const unsigned char* attributes, uint32_t block_size,
                              const char* file_name, uint8_t selector) {
    return create_indexed_file(attributes, block_size, file_name, selector, StoreFormat::kSlots);
}

namespace {

// The fixed part of the attribute block (*fixed), and whether it describes
// a file this engine can make: 1 to 255 keys, a block long enough for them,
// record lengths a slot (or, in the block format, a set) can hold.
bool attributes_usable(const unsigned char* attributes, uint32_t block_size, bool block_format,
                       ix_attributes* fixed) {
    if (attributes != nullptr && (block_size == 0 || block_size >= IX_ATTRIBUTES_FIXED_SIZE))
        ix_attributes_decode(attributes, fixed);
    const int key_count = fixed->key_count;
    return attributes != nullptr && key_count >= 1 && key_count <= engine::kMaxKeys &&
           (block_size == 0 || block_size >= ix_attributes_size(key_count)) &&
           fixed->max_record_length <= kMaxRecordLength &&
           fixed->min_record_length <= fixed->max_record_length &&
           (!block_format ||
            fixed->max_record_length <= store::kLargestSetSize - store::kFirstRecordAt);
}

// The file fields of a new header and its key table, from the attribute
// block; false when a key is not one a record can hold and a tree keep.
bool fill_fields_and_keys(FileHeader header, const unsigned char* attributes,
                          const ix_attributes& fixed, bool block_format) {
    const int key_count = fixed.key_count;
    header.set_header_size(engine::header_size_for(key_count));
    std::memcpy(header.image() + engine::kFileMarkAt, engine::kIndexedMark, engine::kFileMarkSize);
    header.set_version(block_format ? engine::kVersionBlockFormat : engine::kVersionSlotFormat);
    header.set_byte_order(engine::kByteOrderMark);
    header.set_open_flags(1);
    header.set_record_count(0);
    header.set_min_record_length(fixed.min_record_length);
    header.set_max_record_length(fixed.max_record_length);
    header.set_area_length(fixed.area_length);
    header.set_key_count(key_count);
    header.set_options(static_cast<uint16_t>(fixed.options) & ~engine::kOptionBlockFormat);
    header.set_key_table_offset(engine::kKeyTableOffset);

    bool usable = true;
    for (int i = 0; i < key_count && usable; ++i) {
        ix_key_spec key;
        ix_key_spec_decode(attributes, i, &key);
        usable = key_is_usable(key.key_offset - 1, key.key_length, key.key_type);
        header.set_key_offset(i, static_cast<int16_t>(key.key_offset - 1));
        header.set_key_length(i, key.key_length);
        header.set_key_flags(i, key.key_flags);
        header.set_key_type(i, key.key_type);
    }
    const int32_t keys_end = usable ? compute_keys_end(header, key_count) : 0;
    header.set_keys_end(keys_end);
    return usable && static_cast<uint32_t>(keys_end) <= fixed.max_record_length;
}

// Creates every key's tree header in the image and sets index_block_size to
// the largest page; 11 when a tree cannot be created. In the block format
// the set size follows from the longest record and the largest page, and
// index pages are blocks of that size too: *usable is false when no set
// holds the records.
engine::Result create_trees(FileHeader header, bool block_format, bool* usable) {
    const int key_count = header.key_count();
    const uint32_t trees_at = engine::tree_headers_at(key_count);
    engine::Result result = engine::kOk;
    uint32_t largest_page = 0;
    for (int i = 0; i < key_count; ++i) {
        const uint32_t tree_at = trees_at + engine::kTreeHeaderSize * i;
        header.set_tree_at(i, tree_at);
        tree::CreateFlags flags =
            tree_create_flags_of(header, i) | tree::CreateFlags{static_cast<uint32_t>(i) << 16};
        if (block_format)
            flags = flags | tree::kCreateBlockPages;
        const int page_size =
            _vmq_create_tree(header.image() + tree_at, flags.bits, header.key_length(i),
                             tree_data_length(header, i), tree_at);
        if (page_size == 0) {
            result = engine::kNoSpace;
            break;
        }
        if (static_cast<uint32_t>(page_size) > largest_page)
            largest_page = static_cast<uint32_t>(page_size);
    }
    header.set_index_block_size(largest_page);
    if (block_format) {
        store::SetShape shape;
        *usable = store::sequence_set_shape(header.max_record_length(), largest_page, &shape);
        header.set_sequence_set_size(shape.set_size);
        header.set_index_block_size(shape.set_size);
        header.set_first_sequence_set(store::kNoSet);
    }
    return result;
}

// Writes the new header area at the start of the file and closes it: the
// first failure is the result, a failed write replacing an earlier 11.
engine::Result write_and_close(engine::FileChannel io, const unsigned char* image, uint32_t size,
                               engine::Result result) {
    if (const engine::IoOutcome written = io.write_at(0, image, size); !written.ok())
        result = engine::store_status(written);
    if (const engine::IoOutcome closed = io.close(); !closed.ok() && result == engine::kOk)
        result = engine::store_status(closed);
    return result;
}

}  // namespace

engine::Result create_indexed_file(const unsigned char* attributes, uint32_t block_size,
                                   const char* file_name, uint8_t selector, StoreFormat format) {
    const bool block_format = format == StoreFormat::kBlocks;
    if (selector == IX_CREATE_NEW_ONLY && file_name != nullptr && _access(file_name, 0) == 0)
        return engine::kFileExists;
    engine::FileChannel io;
    if (const engine::IoOutcome opened = engine::FileChannel::open(
            file_name, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, &io);
        !opened.ok())
        return engine::store_status(opened);
    if (const engine::Result removed = engine::ChangeJournal::remove_stale(file_name);
        removed != engine::kOk) {
        io.close();
        return removed;
    }

    // From here on an existing file is empty; attributes that describe no
    // usable file leave it so.
    ix_attributes fixed{};
    bool usable = attributes_usable(attributes, block_size, block_format, &fixed);
    const uint32_t header_size = usable ? engine::header_size_for(fixed.key_count) : 0;
    std::unique_ptr<unsigned char[]> image;
    if (usable) {
        image.reset(new (std::nothrow) unsigned char[header_size]());
        if (!image) {
            io.close();
            return engine::kNoSpace;
        }
    }
    engine::Result result = engine::kOk;
    if (usable) {
        const FileHeader header(image.get());
        usable = fill_fields_and_keys(header, attributes, fixed, block_format);
        if (usable)
            result = create_trees(header, block_format, &usable);
    }
    if (!usable) {
        io.close();
        return engine::kBadKeyCount;
    }
    return write_and_close(io, image.get(), header_size, result);
}

namespace {

// How an open treats a file an update session never closed, and its trees.
struct OpenPurpose {
    bool accept_unfinished = false;  // open it all the same, for reading
    bool skip_trees = false;         // leave every tree closed
    bool* unfinished = nullptr;      // out: the update marker was found
};

engine::Result open_file(ix_handle** slot, const char* file_name, uint8_t mode,
                         const OpenPurpose& purpose);

}  // namespace

engine::Result ix_open_file(ix_handle** slot, const char* file_name, uint8_t mode) {
    OpenPurpose purpose;
    purpose.accept_unfinished = (mode & IX_MODE_UNFINISHED_OK) != 0 && (mode & 0x03) == 0;
    return open_file(slot, file_name, mode, purpose);
}

engine::Result ix_open_for_inspection(ix_handle** slot, const char* file_name, bool skip_trees,
                                      bool* unfinished) {
    bool found = false;
    const engine::Result result =
        open_file(slot, file_name, IX_MODE_INPUT, OpenPurpose{true, skip_trees, &found});
    if (unfinished != nullptr)
        *unfinished = found;
    return result;
}

namespace {

// A store that could not open for the file, as an engine result: its own
// refusals by name, anything else (a longest record no slot can hold) as an
// I/O error.
engine::Result store_open_result(store::Status status) {
    switch (status) {
        case store::kNoMemory:
        case store::kSetSizeChanged:
        case store::kRecordsTooLong:
            return store_result(status);
        default:
            return engine::kIoError;
    }
}

// The operating system's file of an open, and the channel its I/O goes
// through: the Windows path, or with IX_MODE_CRT_IO a C-runtime descriptor
// on the same file. A missing file is made empty (and then refused), but
// for an open that accepts a file left unfinished, which makes nothing.
engine::Result open_os_file(const char* file_name, uint8_t mode, const OpenPurpose& purpose,
                            engine::FileChannel* io) {
    const bool update = (mode & 0x03) != 0;
    const bool shared = (mode & IX_MODE_SHARED) != 0;
    const DWORD share = shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : update ? 0 : FILE_SHARE_READ;
    if (const engine::IoOutcome opened = engine::FileChannel::open(
            file_name, update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, share,
            purpose.accept_unfinished ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, io);
        !opened.ok())
        return engine::store_status(opened);
    if ((mode & IX_MODE_CRT_IO) != 0 && !io->use_descriptor().ok())
        return engine::kIoError;
    return engine::kOk;
}

// Reads the header area into a new handle (*made) and checks it: the mark,
// the size, the version (one too old is also reported on standard output)
// and the update marker, which refuses the file unless the purpose accepts
// it.
engine::Result read_header(const engine::FileChannel& io, const char* file_name, bool update,
                           const OpenPurpose& purpose, std::unique_ptr<ix_handle>* made) {
    unsigned char first[kFirstHeaderRead] = {};
    uint32_t got = 0;
    if (!io.read_at(0, first, kFirstHeaderRead, &got).ok() || got == 0)
        return engine::kIoError;
    // A sequential file's header is shorter than any indexed one; its mark
    // tells the caller what it opened.
    if (const HeaderVerdict start = classify_header_start(first, got); start.result != engine::kOk)
        return start.result;
    const uint32_t header_size = platform::load_u32(first);

    std::unique_ptr<ix_handle> handle(new (std::nothrow) ix_handle);
    if (handle)
        handle->image.reset(new (std::nothrow) unsigned char[header_size]());
    if (!handle || !handle->image)
        return engine::kNoSpace;
    handle->header_size = header_size;
    std::memcpy(handle->image.get(), first, kFirstHeaderRead);
    // Bytes 12 to 15 are never loaded.
    const uint32_t rest = header_size - 16;
    if (!io.read_at(16, handle->image.get() + 16, rest, &got).ok())
        return engine::kAccessDenied;
    if (got < rest)
        return engine::kNotIndexedFile;  // the file ends inside its header

    const FileHeader header = handle->header();
    engine::Result result = classify_header(header, !purpose.skip_trees).result;
    if (!engine::is_readable_version(header.version())) {
        std::printf("file %s has wrong version: is %x, should be %x\n", file_name, header.version(),
                    engine::kVersionSlotFormat);
        std::fflush(stdout);
    } else if (result == engine::kUnfinishedUpdate) {
        // Refused until it is rebuilt; only the tools that check and
        // rebuild it read it as it is.
        if (purpose.unfinished != nullptr)
            *purpose.unfinished = true;
        if (purpose.accept_unfinished && !update)
            result = engine::kOk;
    }
    if (result == engine::kOk)
        *made = std::move(handle);
    return result;
}

// The header's run-time fields for this open: no record held, the open
// flags of the mode, and of the options the variable-length bit the file
// keeps and the block-format bit its version gives.
void set_session_fields(FileHeader header, uint8_t mode, bool crt_io) {
    header.set_held_record(0);
    uint32_t options = header.options() & engine::kOptionVariable;
    if (header.version() == engine::kVersionBlockFormat)
        options |= engine::kOptionBlockFormat;
    header.set_options(options);
    uint32_t open_flags = (mode & 0x03) != 0 ? engine::kOpenUpdate : engine::kOpenInput;
    if (mode & IX_MODE_SEQUENTIAL)
        open_flags |= engine::kOpenSequentialCheck;
    if (mode & IX_MODE_EXTEND)
        open_flags |= engine::kOpenExtendCheck;
    if (crt_io)
        open_flags |= engine::kOpenCrtIo;
    header.set_open_flags(open_flags);
}

// Opens the data store and every tree (none with skip_trees) on the
// handle's file. A shared open's trees write every page they change at once
// and watch the change count. On failure what was opened is closed again.
engine::Result open_store_and_trees(ix_handle& handle, bool update, bool shared, bool skip_trees) {
    const FileHeader header = handle.header();
    const bool block_format = header.block_format();
    store::Status store_status =
        block_format ? store::allocate_sequence_sets(&handle) : store::open_data_records(&handle);
    // Pages of a new tree in the block format take a whole block (the store
    // has made index_block_size the set size).
    const uint32_t page_size = header.index_block_size();
    const int key_count = header.key_count();
    if (store_status == store::kOk) {
        handle.trees.reset(new (std::nothrow) std::unique_ptr<tree::Tree>[key_count]);
        if (!handle.trees)
            store_status = store::kNoMemory;
    }
    tree::OpenFlags flags = update ? tree::kOpenForUpdate : tree::OpenFlags{};
    if (shared)
        flags = flags | tree::kOpenShared;
    tree::Status tree_status = tree::kTreeOk;
    for (int i = 0;
         i < key_count && store_status == store::kOk && tree_status == tree::kTreeOk && !skip_trees;
         ++i) {
        handle.trees[i].reset(new (std::nothrow)
                                  tree::Tree(handle.image.get() + header.tree_at(i)));
        if (!handle.trees[i]) {
            store_status = store::kNoMemory;
            break;
        }
        ++handle.open_trees;
        tree_status = handle.tree(i)->open(&handle, handle.io, page_size, flags, block_format);
        // The change count tells a shared handle's trees when to take their
        // roots afresh.
        if (shared)
            handle.tree(i)->watch_for_changes();
    }
    if (store_status == store::kOk && tree_status == tree::kTreeOk)
        return engine::kOk;
    for (int i = 0; i < handle.open_trees; ++i)
        _vmq_close_tree(handle.tree(i));
    if (block_format)
        handle.sequence_sets.reset();  // no set has been changed yet
    else
        _vmq_close_data_records(&handle);
    return store_status != store::kOk ? store_open_result(store_status)
                                      : map_tree_status(tree_status);
}

engine::Result open_file(ix_handle** slot, const char* file_name, uint8_t mode,
                         const OpenPurpose& purpose) {
    *slot = nullptr;
    if ((mode & 0x03) == 1)
        return engine::kBadOpcode;
    const bool update = (mode & 0x03) != 0;
    OpenSharing sharing(file_name, (mode & IX_MODE_SHARED) != 0, update, purpose.accept_unfinished);
    sharing.before_open();
    OpenedFile opened;
    engine::FileChannel& io = opened.io();
    engine::Result result = open_os_file(file_name, mode, purpose, &io);
    if (result == engine::kOk)
        result = sharing.file_opened(&io);
    std::unique_ptr<ix_handle> handle;
    if (result == engine::kOk)
        result = read_header(io, file_name, update, purpose, &handle);
    if (result == engine::kOk)
        result = sharing.header_accepted();
    if (result != engine::kOk)
        return result;

    opened.hand_to(handle.get());
    handle->shift_tree = [](store::StoreHandle* store, const unsigned char* record, int count,
                            int32_t delta) {
        return shift_tree(static_cast<ix_handle*>(store), record, count, delta);
    };
    set_session_fields(handle->header(), mode, handle->io.uses_descriptor());
    result = open_store_and_trees(*handle, update, sharing.shared(), purpose.skip_trees);
    if (result == engine::kOk)
        result = sharing.attach(*handle);
    if (result != engine::kOk) {
        handle->io.close();
        return result;
    }
    *slot = handle.release();
    return engine::kOk;
}

}  // namespace

std::string ix_header_problem(const char* file_name) {
    OpenedFile opened;
    if (!engine::FileChannel::open(file_name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, &opened.io())
             .ok())
        return "the file cannot be opened";
    const engine::FileChannel& io = opened.io();
    uint32_t end = 0;
    unsigned char first[kFirstHeaderRead] = {};
    uint32_t got = 0;
    if (!io.seek_end(&end).ok() || !io.read_at(0, first, kFirstHeaderRead, &got).ok())
        return "the file cannot be read";
    if (HeaderVerdict start = classify_header_start(first, got); start.result != engine::kOk)
        return std::move(start.reason);
    const uint32_t header_size = platform::load_u32(first);
    if (end < header_size)
        return "the file ends at " + std::to_string(end) + ", inside its header of " +
               std::to_string(header_size) + " bytes";
    std::unique_ptr<unsigned char[]> image(new (std::nothrow) unsigned char[header_size]());
    if (!image || !io.read_at(0, image.get(), header_size, &got).ok() || got < header_size)
        return "the header cannot be read";
    return classify_header(FileHeader(image.get()), true).reason;
}

namespace {

// Puts what the handle of a sound update session holds into the file: the
// block format's changed sets, every tree's changed pages, then the header
// area without the update marker. Nothing is freed, so after a failure the
// session goes on as it was. A damaged page makes the session unsound.
engine::Result write_back(ix_handle* handle) {
    FileHeader header = handle->header();
    if (header.block_format() && handle->sequence_sets) {
        const store::Status status = store::write_changed_sets(handle);
        if (status != store::kOk)
            return store_result(status);
    }
    for (int i = 0; i < handle->open_trees; ++i) {
        const tree::Status status = handle->tree(i)->write_back();
        if (status == tree::kDamagedPage)
            handle->unsound = true;
        if (status != tree::kTreeOk)
            return map_tree_status(status);
    }
    header.set_update_marker(0);
    const engine::Result status =
        engine::store_status(handle->io.write_at(0, handle->image.get(), handle->header_size));
    if (status != engine::kOk)
        header.set_update_marker(handle->marked ? engine::kUpdateMarker : 0);
    return status;
}

}  // namespace

engine::Result ix_close_file(ix_handle* handle, bool* kept) {
    if (kept != nullptr)
        *kept = false;
    FileHeader header = handle->header();
    if ((header.open_flags() & (engine::kOpenInput | engine::kOpenUpdate)) == 0) {
        delete handle;
        return engine::kNotOpen;
    }
    engine::Result result = handle->unsound ? engine::kIoError : engine::kOk;
    bool header_written = false;
    if (header.open_for_update() && !handle->unsound) {
        result = write_back(handle);
        header_written = result == engine::kOk;
        if (!header_written && kept != nullptr && !handle->unsound) {
            // A full disk, say: the file stays open for another try.
            *kept = true;
            return result;
        }
        if (handle->unsound)
            result = engine::kIoError;
    }
    std::unique_ptr<ix_handle> owned(handle);
    {
        // Changed sequence sets reach the file here.
        const store::Status status = header.block_format() ? store::free_all_sequence_sets(handle)
                                                           : store::close_data_records(handle);
        if (status != store::kOk)
            result = store_result(status);
    }
    int failed_trees = 0;
    for (int i = 0; i < handle->open_trees; ++i)
        if (_vmq_close_tree(handle->tree(i)) != 0)
            ++failed_trees;
    if (failed_trees != 0 && result == engine::kOk)
        result = engine::kIoError;

    // Each change of a shared handle was whole in the file when it ended,
    // or has been taken back, or is left for another handle to take back.
    if (header.open_for_update() && !header_written && !handle->sharing) {
        // A clean close takes the update marker away; after any failure it
        // stays, and the next open refuses the file.
        header.set_update_marker(result == engine::kOk ? 0 : engine::kUpdateMarker);
        const engine::Result status =
            engine::store_status(handle->io.write_at(0, handle->image.get(), handle->header_size));
        if (status != engine::kOk && result == engine::kOk)
            result = status;
    }
    if (handle->sharing)
        handle->sharing->close(*handle);
    if (!handle->io.close().ok() && result == engine::kOk)
        result = engine::kIoError;
    return result;
}

engine::Result mark_update(ix_handle* handle) {
    if (handle->marked)
        return engine::kOk;
    if (handle->sharing) {
        if (const engine::Result begun = handle->sharing->begin_change(*handle);
            begun != engine::kOk)
            return begun;
    }
    FileHeader header = handle->header();
    header.set_update_marker(engine::kUpdateMarker);
    const engine::Result status = engine::store_status(handle->io.write_at(
        engine::kUpdateMarkerAt, handle->image.get() + engine::kUpdateMarkerAt, 4));
    if (status != engine::kOk) {
        header.set_update_marker(0);
        return status;
    }
    handle->marked = true;
    return engine::kOk;
}

engine::Result ix_get_attributes(ix_handle* handle, unsigned char* block, uint32_t size,
                                 unsigned char* aux) {
    FileHeader header = handle->header();
    if ((header.open_flags() & (engine::kOpenInput | engine::kOpenUpdate)) == 0)
        return engine::kNotOpen;
    if (aux != nullptr)
        *aux = 0;
    if (block == nullptr || size < IX_ATTRIBUTES_FIXED_SIZE)
        return engine::kNoSpace;
    ix_attributes fixed{};
    fixed.record_count = header.record_count();
    fixed.min_record_length = header.min_record_length();
    fixed.max_record_length = header.max_record_length();
    fixed.area_length = header.area_length();
    fixed.key_count = static_cast<int16_t>(header.key_count());
    fixed.options = static_cast<int16_t>(header.options() & 0xFFFF);
    ix_attributes_encode(block, &fixed);
    const int keys = header.key_count() < engine::kMaxKeys ? header.key_count() : engine::kMaxKeys;
    if (size < ix_attributes_size(keys))
        return engine::kNoSpace;
    for (int i = 0; i < keys; ++i) {
        ix_key_spec key{};
        key.key_offset = static_cast<int16_t>(header.key_offset(i) + 1);
        key.key_length = header.key_length(i);
        key.key_flags = header.key_flags(i);
        key.key_type = header.key_type(i);
        ix_key_spec_encode(block, i, &key);
    }
    return engine::kOk;
}

}  // namespace kvr::isam
