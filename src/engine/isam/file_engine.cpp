// The KVR file engine behind the keyed-engine seam: each request becomes one
// call of the indexed engine's entry with its opcode, flags and selector.
#include "engine/isam/dispatcher.h"
#include "engine/keyed_engine.h"
#include "engine/named_file.h"
#include "vmqrmkvr/isam.h"

namespace kvr::engine {

namespace {

constexpr uint16_t kReadOpcodes[] = {
    IX_READ_EQ,    IX_READ_GT,   IX_READ_GE,   IX_READ_LE,      IX_READ_LT,
    IX_READ_FIRST, IX_READ_LAST, IX_READ_NEXT, IX_READ_CURRENT, IX_READ_PREV,
};

// An update open of a relative file passes 3, of an indexed file 2: both
// are update opens to the engine.
constexpr uint8_t kModeUpdate = IX_MODE_UPDATE;
constexpr uint8_t kModeUpdateRelative = IX_MODE_UPDATE | 0x01;

uint16_t with_flags(uint16_t opcode, const RecordCall& call) {
    return static_cast<uint16_t>(opcode | (call.hold ? IX_HOLD_RECORD : 0) |
                                 (call.lock ? IX_LOCK_RECORD : 0) |
                                 (call.keep_position ? IX_KEEP_POSITION : 0));
}

class FileEngine final : public KeyedEngine {
public:
    bool exists(const char* name) const override { return file_exists(name); }
    bool is_empty(const char* name) const override { return is_empty_file(name); }
    bool remove(const char* name) const override { return remove_file(name); }
    void refusal_detail(const char* name, Result refused, char* text,
                        unsigned size) const override {
        open_refusal_detail(name, refused, text, size);
    }

    Result create(void* slot, const char* name, const unsigned char* attributes,
                  uint32_t size) const override {
        return isam::call(IX_CREATE, slot, const_cast<unsigned char*>(attributes), &size,
                          const_cast<char*>(name), 0);
    }

    Result open(void* slot, const char* name, const OpenRequest& request) const override {
        uint8_t mode = IX_MODE_INPUT;
        if (request.update)
            mode = request.relative ? kModeUpdateRelative : kModeUpdate;
        if (request.sequential)
            mode |= IX_MODE_SEQUENTIAL;
        if (request.extend)
            mode |= IX_MODE_EXTEND;
        if (request.shared)
            mode |= IX_MODE_SHARED;
        if (request.unfinished_ok)
            mode |= IX_MODE_UNFINISHED_OK;
        return isam::call(IX_OPEN, slot, nullptr, nullptr, const_cast<char*>(name), mode);
    }

    Result attributes(void* slot, unsigned char* block, uint32_t capacity) const override {
        return isam::call(IX_GET_ATTRIBUTES, slot, block, &capacity, nullptr, 0);
    }

    Result close(void* slot, bool give_up) const override {
        return isam::call(IX_CLOSE, slot, nullptr, nullptr, nullptr,
                          give_up ? IX_CLOSE_GIVE_UP : 0);
    }

    bool is_open(const void* slot) const override {
        return slot != nullptr && *static_cast<void* const*>(slot) != nullptr;
    }

    Result read(void* slot, Find find, const RecordCall& call, unsigned char* buffer,
                uint32_t* length, unsigned char* key, uint8_t key_number) const override {
        const uint16_t opcode = kReadOpcodes[static_cast<int>(find)];
        return isam::call(with_flags(opcode, call), slot, buffer, length, key, key_number);
    }

    Result write(void* slot, const RecordCall& call, const unsigned char* record, uint32_t length,
                 unsigned char* key, uint8_t key_number) const override {
        return isam::call(with_flags(IX_WRITE, call), slot, const_cast<unsigned char*>(record),
                          &length, key, key_number);
    }

    Result rewrite(void* slot, const RecordCall& call, const unsigned char* record, uint32_t length,
                   unsigned char* key, uint8_t key_number) const override {
        return isam::call(with_flags(IX_REWRITE, call), slot, const_cast<unsigned char*>(record),
                          &length, key, key_number);
    }

    Result erase(void* slot, const RecordCall& call, unsigned char* record, uint32_t* length,
                 unsigned char* key, uint8_t key_number) const override {
        return isam::call(with_flags(IX_DELETE, call), slot, record, length, key, key_number);
    }

    void hold_position(void* slot) const override {
        // A shared file is held for the whole REWRITE or DELETE (nothing to
        // do otherwise); when that fails, each call takes the file on its
        // own and reports what it meets.
        isam::call(IX_BEGIN_GROUP, slot, nullptr, nullptr, nullptr, 1);
        isam::call(IX_SAVE_POSITION, slot, nullptr, nullptr, nullptr, 0);
    }

    void restore_position(void* slot) const override {
        isam::call(IX_RESTORE_POSITION, slot, nullptr, nullptr, nullptr, 0);
        isam::call(IX_END_GROUP, slot, nullptr, nullptr, nullptr, 0);
    }
};

}  // namespace

const KeyedEngine& file_engine() {
    static const FileEngine engine;
    return engine;
}

const KeyedEngine& engine_for(const char*) {
    return file_engine();
}

}  // namespace kvr::engine
