// What the verbs of indexed and relative files share. A relative file is
// kept by the indexed engine as an indexed file with one key, the relative
// record number (a 4-byte number in front of the program's record), so the
// two organizations run the same workers with a few differences, named by
// a KeyedOrganization.
//
// The workers run inside the verb frame and call the runtime (allocator,
// USE procedure), which may abandon the verb by a longjmp: they hold no
// object with a destructor, only plain data.
#ifndef KVR_VERBS_INDEXED_KEYED_FILE_H
#define KVR_VERBS_INDEXED_KEYED_FILE_H

#include <cstdint>

#include "engine/keyed_engine.h"
#include "runtime/diagnostics.h"
#include "verbs/engine_slot.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/fcb.h"

namespace kvr::verbs {

struct KeyedOrganization {
    bool relative;
    bool shared;  // opened shared with other programs that ask the same
    vmq_verb_entry open, close, read, write, rewrite, remove, start;
};

const KeyedOrganization& indexed_organization();
const KeyedOrganization& relative_organization();
const KeyedOrganization& indexed_shared_organization();
const KeyedOrganization& relative_shared_organization();

// Room for the attribute block of a file with the most keys there may be.
inline constexpr uint32_t kAttributeBlockSize = IX_ATTRIBUTES_FIXED_SIZE + IX_KEY_SPEC_SIZE * 255;
// Bytes of the relative record number in front of a relative record.
inline constexpr uint32_t kRelativeNumberSize = 4;

void keyed_open(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org);
void keyed_close(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org);
void keyed_read(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org);
void keyed_start(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org);
void keyed_write(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org);
void keyed_rewrite(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org);
void keyed_delete(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org);

// The workers of one organization, as the verb frame takes them.
template <const KeyedOrganization& (*Organization)()>
struct KeyedWorkers {
    static void open(vmq_fcb* f, vmq_program_context* c) { keyed_open(f, c, Organization()); }
    static void close(vmq_fcb* f, vmq_program_context* c) { keyed_close(f, c, Organization()); }
    static void read(vmq_fcb* f, vmq_program_context* c) { keyed_read(f, c, Organization()); }
    static void start(vmq_fcb* f, vmq_program_context* c) { keyed_start(f, c, Organization()); }
    static void write(vmq_fcb* f, vmq_program_context* c) { keyed_write(f, c, Organization()); }
    static void rewrite(vmq_fcb* f, vmq_program_context* c) { keyed_rewrite(f, c, Organization()); }
    static void remove(vmq_fcb* f, vmq_program_context* c) { keyed_delete(f, c, Organization()); }
};

// Shared by the workers.
namespace keyed {

// The engine handle slot of the FCB, as the engine takes it: null, which
// the engine answers with "file not open", when the FCB holds no slot of
// its own (engine_slot.h). Its first word is the engine's handle, its
// second the engine OPEN chose for the file.
inline void* slot(vmq_fcb* fcb) {
    return engine_slot(fcb);
}

// The engine that serves the FCB's file: the one OPEN kept in the slot, or
// the file engine, which answers "file not open", when there is none.
inline const engine::KeyedEngine& engine_of(vmq_fcb* fcb) {
    const void* kept =
        fcb != nullptr && slot(fcb) != nullptr ? static_cast<void**>(slot(fcb))[1] : nullptr;
    return kept != nullptr ? *static_cast<const engine::KeyedEngine*>(kept) : engine::file_engine();
}

inline void keep_engine(void* slot, const engine::KeyedEngine& engine) {
    static_cast<const void**>(slot)[1] = &engine;
}

// What a verb reports for an engine result: the same number, named.
constexpr runtime::Diagnostic outcome(engine::Result result) {
    return runtime::diagnostic_of(engine::code(result));
}

// The key of reference as an engine key number.
inline int key_number(const vmq_fcb* fcb) {
    return fcb->key_of_reference == 0 ? 0 : fcb->key_of_reference - 1;
}

inline const vmq_key_description& key(const vmq_file_description* description, int k) {
    return vmq_key_descriptions(description)[k];
}

// Whether the key of reference names one of the file's keys. The runtime
// may hand over any number up to 65535; one past the keys is never looked
// up, and never passed to the engine cut to a byte.
inline bool key_of_reference_known(const vmq_fcb* fcb, const vmq_file_description* description) {
    return static_cast<uint32_t>(key_number(fcb)) < description->key_count;
}

// Where the last of the file's keys ends in the program's record: a shorter
// record cannot be written.
inline uint32_t keys_end(const vmq_file_description* description) {
    const uint32_t keys = description->key_count < 255 ? description->key_count : 255;
    uint64_t end = 0;
    for (uint32_t i = 0; i < keys; ++i) {
        const vmq_key_description& k = key(description, static_cast<int>(i));
        if (uint64_t{k.position} + k.length > end)
            end = uint64_t{k.position} + k.length;
    }
    return end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
}

// Whether the file is open I-O with record locking: its reads hold the
// record they read, and its changes go by record locks.
inline bool locks_records(const vmq_fcb* fcb, const vmq_file_description* description) {
    return (fcb->open_mode & VMQ_OPEN_IO) != 0 && (description->lock_flags & VMQ_LOCK_RECORDS) != 0;
}

inline bool sequential_access(const vmq_file_description* description) {
    return (description->access_flags & VMQ_ACCESS_SEQUENTIAL) != 0;
}

// The largest number a RELATIVE KEY item of the file can hold, or 0 when the
// file has no such item.
uint32_t relative_key_limit(const vmq_file_description* description);

}  // namespace keyed

}  // namespace kvr::verbs

#endif
