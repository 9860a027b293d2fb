// A data store on a fresh file: a header image with the fields the store
// reads, written at offset 0 of a new file, and a handle whose shift hook
// records the moves it is told of.
#ifndef KVR_TESTS_ENGINE_STORE_STORE_FIXTURE_H
#define KVR_TESTS_ENGINE_STORE_STORE_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/store/store.h"
#include "platform/crt_file.h"
#include "support/temp_dir.h"

namespace kvr::store::test {

using engine::FileHeader;

struct TestHandle : StoreHandle {
    std::vector<std::tuple<std::string, int, int32_t>> shifts;  // key's first 8 bytes, count, delta
    engine::Result shift_result = engine::kOk;
};

inline engine::Result record_shift(StoreHandle* base, const unsigned char* record, int count,
                                   int32_t delta) {
    auto* handle = static_cast<TestHandle*>(base);
    handle->shifts.emplace_back(std::string(reinterpret_cast<const char*>(record), 8), count,
                                delta);
    return handle->shift_result;
}

struct FileSetup {
    uint32_t min_length = 8;
    uint32_t max_length = 100;
    uint32_t options = 0;
    bool descriptor = false;     // C-runtime path instead of the Windows calls
    bool block_format = false;   // blocks of 4096 bytes
    bool sequence_sets = false;  // block format: with the sequence-set pool
};

inline constexpr uint32_t kHeaderSize = 2048;

using kvr::test::le32;
inline std::string slot_header(unsigned char flags, uint32_t length) {
    return le32(length << 8 | flags);
}

class StoreTest : public kvr::test::TempDirTest {
protected:
    void TearDown() override {
        close_file();
        TempDirTest::TearDown();
    }

    FileHeader header() const { return handle->header(); }

    // A file with keys_end 8 and index blocks of 4096 bytes, open for update.
    void create(const FileSetup& setup = {}) {
        close_file();
        setup_ = setup;
        name_ = path("data.kvr");
        auto image = std::make_unique<unsigned char[]>(kHeaderSize);
        FileHeader h(image.get());
        h.set_header_size(kHeaderSize);
        h.set_key_count(1);
        h.set_min_record_length(setup.min_length);
        h.set_max_record_length(setup.max_length);
        h.set_keys_end(8);
        h.set_index_block_size(4096);
        h.set_open_flags(engine::kOpenUpdate);
        h.set_options(setup.options | (setup.block_format ? engine::kOptionBlockFormat : 0));
        h.set_sequence_set_size(setup.block_format ? 4096 : 0);
        write_file(name_, std::string(reinterpret_cast<char*>(image.get()), kHeaderSize));
        open_file(std::move(image));
    }

    // Closes the store, writes the header back as the engine's close does,
    // and opens both again.
    void reopen() {
        ASSERT_EQ(setup_.block_format ? _vmq_free_all_sequence_sets(handle.get())
                                      : _vmq_close_data_records(handle.get()),
                  0);
        auto image = std::move(handle->image);
        patch(0, std::string(reinterpret_cast<char*>(image.get()), kHeaderSize));
        close_file();
        open_file(std::move(image));
    }

    void open_file(std::unique_ptr<unsigned char[]> image) {
        handle = std::make_unique<TestHandle>();
        handle->image = std::move(image);
        handle->header_size = kHeaderSize;
        handle->shift_tree = record_shift;
        os_handle_ = open(name_, kvr::test::kReadWrite, 0, platform::OPEN_EXISTING);
        ASSERT_NE(os_handle_, platform::INVALID_HANDLE_VALUE);
        handle->io = engine::FileChannel::windows(os_handle_);
        if (setup_.descriptor) {
            fd_ = platform::_open_osfhandle(reinterpret_cast<intptr_t>(os_handle_), 0);
            handle->io = engine::FileChannel::descriptor(fd_);
        }
        if (!setup_.block_format) {
            ASSERT_EQ(_vmq_open_data_records(handle.get()), 0);
        } else if (setup_.sequence_sets) {
            ASSERT_EQ(_vmq_allocate_sequence_sets(handle.get()), 0);
        }
    }

    void close_file() {
        if (handle && handle->image)
            setup_.block_format ? _vmq_free_all_sequence_sets(handle.get())
                                : _vmq_close_data_records(handle.get());
        if (fd_ >= 0)
            platform::_close(fd_);
        if (os_handle_ != nullptr)
            platform::CloseHandle(os_handle_);
        fd_ = -1;
        os_handle_ = nullptr;
    }

    // The file's bytes, read and written past the store.
    std::string raw(uint64_t at, size_t count) const {
        const std::string file = read_file(name_);
        return at < file.size() ? file.substr(at, count) : "";
    }
    uint32_t raw_u32(uint64_t at) const {
        return platform::load_u32(
            reinterpret_cast<const unsigned char*>((raw(at, 4) + std::string(4, '\0')).data()));
    }
    void patch(uint64_t at, const std::string& bytes) const {
        patch_file(name_, at, bytes.data(), bytes.size());
    }
    uint64_t file_size() const { return std::filesystem::file_size(name_); }
    void resize_file(uint64_t size) const { std::filesystem::resize_file(name_, size); }

    // A record of `length` (at least 8) bytes whose first 8 bytes name it.
    static std::string record(int id, size_t length) {
        std::string bytes = "key" + std::to_string(10000 + id);
        bytes.resize(length, static_cast<char>('a' + id % 26));
        return bytes;
    }

    // Writes a new record (mode 0) or replaces the one read last (mode 1).
    int put(const std::string& data, uint32_t* address, int mode = 0) {
        return _vmq_put_record(handle.get(), address,
                               reinterpret_cast<const unsigned char*>(data.data()),
                               static_cast<uint32_t>(data.size()), mode);
    }
    uint32_t put(const std::string& data) {
        uint32_t address = 0;
        EXPECT_EQ(put(data, &address), 0);
        return address;
    }
    int get(uint32_t address, std::string* data) {
        unsigned char* bytes = nullptr;
        uint32_t length = 0;
        const int status = _vmq_get_record(handle.get(), address, &bytes, &length);
        if (status == 0)
            data->assign(reinterpret_cast<char*>(bytes), length);
        return status;
    }
    std::string get(uint32_t address) {
        std::string data;
        EXPECT_EQ(get(address, &data), 0) << "at " << address;
        return data;
    }
    // Reads the record at `address`, then replaces it.
    int rewrite(uint32_t address, const std::string& data, uint32_t* now) {
        std::string old;
        const int status = get(address, &old);
        return status != 0 ? status : put(data, now, 1);
    }
    int remove(uint32_t address) { return _vmq_delete_record(handle.get(), address); }

    // The slots on record list k, following the links, each checked free.
    std::vector<uint32_t> list(int k) const {
        std::vector<uint32_t> slots;
        for (uint32_t at = header().free_list_head(k); at != 0 && slots.size() < 100;
             at = raw_u32(at + 4)) {
            EXPECT_EQ(raw(at, 1), "\x08") << "list " << k << " at " << at;
            slots.push_back(at);
        }
        return slots;
    }

    std::unique_ptr<TestHandle> handle;

private:
    FileSetup setup_;
    std::string name_;
    platform::HANDLE os_handle_ = nullptr;
    int fd_ = -1;
};

}  // namespace kvr::store::test

#endif
