// WRITE, REWRITE and DELETE of indexed and relative files.
//
// Under random and dynamic access REWRITE and DELETE find the record by key
// themselves; the engine keeps the file position (the key of reference and
// where it stands) across them and puts it back afterwards, so that a later
// READ NEXT or READ PREVIOUS goes on from where the program was. Under sequential access they work
// on the record the last READ delivered.
//
// A call the engine cannot be given is refused first: no record area (30),
// a record outside the file's lengths or too short to hold every key (44),
// a key of reference the file does not have (as the engine's "invalid key
// number").
#include <cstring>

#include "engine/results.h"
#include "runtime/file_status.h"
#include "runtime/reporting.h"
#include "verbs/indexed/keyed_file.h"
#include "vmqrmkvr/isam.h"

namespace kvr::verbs {

namespace {

constexpr uint32_t kMaxKeyLength = 255;

bool length_outside_record(const vmq_fcb* fcb, const vmq_file_description* description) {
    return fcb->write_length < description->min_record_length ||
           fcb->write_length > description->max_record_length;
}

void set_status(vmq_fcb* fcb, int result, uint8_t verb) {
    fcb->status = runtime::record_verb_status(result, verb);
    if (result == IX_END_OF_FILE)
        fcb->state_flags |= VMQ_AT_END;
}

// What a call must bring before the engine is given it: a record area; for
// WRITE and REWRITE (with_record), a record within the file's lengths that
// holds every key (44 otherwise); and, when the verb goes by it, a key of
// reference the file has. True when the call is refused, with the status
// set and *code the diagnostic code.
bool refuse_call(vmq_fcb* fcb, const vmq_file_description* description,
                 const KeyedOrganization& org, uint8_t verb, bool with_record,
                 bool by_key_of_reference, int* code) {
    *code = 0;
    if (fcb->record_area == nullptr) {
        *code = runtime::kNoRecordArea;
    } else if (with_record && length_outside_record(fcb, description)) {
        fcb->status = 44;
        return true;
    } else if (with_record && !org.relative && fcb->write_length < keyed::keys_end(description)) {
        fcb->status = 44;
        *code = IX_RECORD_TOO_SHORT;
        return true;
    } else if (by_key_of_reference && !keyed::key_of_reference_known(fcb, description)) {
        *code = IX_BAD_KEY_NUMBER;
    } else {
        return false;
    }
    set_status(fcb, *code, verb);
    return true;
}

// The engine keeps the key of reference and where it stands across the
// keyed READ and the REWRITE or DELETE, and puts them back afterwards. A
// shared file is held for the whole of it (nothing to do otherwise); when
// that fails, each call takes the file on its own and reports what it meets.
void save_position(vmq_fcb* fcb) {
    _vmqpIsam(IX_BEGIN_GROUP, keyed::slot(fcb), nullptr, nullptr, nullptr, 1);
    _vmqpIsam(IX_SAVE_POSITION, keyed::slot(fcb), nullptr, nullptr, nullptr, 0);
}

void restore_position(vmq_fcb* fcb) {
    _vmqpIsam(IX_RESTORE_POSITION, keyed::slot(fcb), nullptr, nullptr, nullptr, 0);
    _vmqpIsam(IX_END_GROUP, keyed::slot(fcb), nullptr, nullptr, nullptr, 0);
}

}  // namespace

void keyed_write(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    const vmq_file_description* description = vmq_find_description(fcb, context);
    const bool sequential = keyed::sequential_access(description);
    if (org.relative && fcb->record_area != nullptr) {
        // Sequential writes number the records themselves.
        if (fcb->last_verb == VMQ_VERB_OPEN && sequential &&
            (fcb->open_request & VMQ_OPEN_OUTPUT) != 0)
            fcb->relative_number = 0;
        if (sequential)
            ++fcb->relative_number;
        std::memcpy(fcb->record_area - kRelativeNumberSize, &fcb->relative_number,
                    kRelativeNumberSize);
    }
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_WRITE);
    const bool by_key_of_reference = !org.relative && !sequential;
    int result = 0;
    if (org.relative && !sequential && fcb->record_area != nullptr && fcb->relative_number == 0) {
        // Relative record number 0 lies outside the file: a boundary
        // violation, nothing written. (A file another writer made may hold
        // a record 0; READ, REWRITE and DELETE find it.)
        fcb->status = 24;
    } else if (!refuse_call(fcb, description, org, VMQ_VERB_WRITE, true, by_key_of_reference,
                            &result)) {
        const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
        uint32_t length = fcb->write_length + extra;
        unsigned char key_area[kMaxKeyLength + 1] = {};
        const int k = by_key_of_reference ? keyed::key_number(fcb) : 0;
        const uint16_t lock = keyed::lock_flag(fcb, description, IX_LOCK_RECORD);
        // A WRITE leaves the file position where it was: READ NEXT goes on
        // from the record the program last read, not from the one written.
        const uint16_t keep =
            (fcb->open_mode & VMQ_OPEN_IO) != 0 && !sequential ? IX_KEEP_POSITION : 0;
        result = _vmqpIsam(static_cast<uint16_t>(IX_WRITE | lock | keep), keyed::slot(fcb),
                           fcb->record_area - extra, &length, key_area, static_cast<uint8_t>(k));
        set_status(fcb, result, VMQ_VERB_WRITE);
        if (org.relative && sequential && result == IX_OK &&
            description->relative_key_offset != 0) {
            uint32_t number = 0;
            std::memcpy(&number, key_area, kRelativeNumberSize);
            const uint32_t limit = keyed::relative_key_limit(description);
            if (limit != 0 && number > limit)
                fcb->status = 24;  // written, but the RELATIVE KEY cannot hold its number
            fcb->relative_number = number;
        }
    }
    runtime::report(target, result, nullptr);
}

void keyed_rewrite(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    const vmq_file_description* description = vmq_find_description(fcb, context);
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    if (org.relative && fcb->record_area != nullptr)
        std::memcpy(fcb->record_area - extra, &fcb->relative_number, kRelativeNumberSize);
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_REWRITE);
    const uint16_t lock = keyed::lock_flag(fcb, description, IX_LOCK_RECORD);
    const uint16_t rewrite = static_cast<uint16_t>(IX_REWRITE | lock);
    const bool sequential = keyed::sequential_access(description);
    // Under sequential access the engine is told the key of reference.
    const bool by_key_of_reference = !org.relative && sequential;
    int result = 0;
    if (refuse_call(fcb, description, org, VMQ_VERB_REWRITE, true, by_key_of_reference, &result)) {
        runtime::report(target, result, nullptr);
        return;
    }
    unsigned char* record = fcb->record_area - extra;
    if (sequential) {
        if ((fcb->state_flags & VMQ_RECORD_READ) == 0) {
            fcb->status = 43;
        } else {
            uint32_t length = fcb->write_length + extra;
            unsigned char key_area[kMaxKeyLength + 1] = {};
            const int k = by_key_of_reference ? keyed::key_number(fcb) : 0;
            result = _vmqpIsam(rewrite, keyed::slot(fcb), record, &length, key_area,
                               static_cast<uint8_t>(k));
            set_status(fcb, result, VMQ_VERB_REWRITE);
        }
    } else {
        unsigned char prime[kMaxKeyLength + 1] = {};
        if (org.relative) {
            std::memcpy(prime, &fcb->relative_number, kRelativeNumberSize);
        } else {
            const vmq_key_description& key = keyed::key(description, 0);
            std::memcpy(prime, fcb->record_area + key.position, key.length);
        }
        save_position(fcb);
        uint32_t length = 0;
        // A relative record 0 another writer made is found too.
        result = _vmqpIsam(IX_READ_EQ, keyed::slot(fcb), fcb->work_buffer, &length, prime, 0);
        if (result == IX_OK) {
            length = fcb->write_length + extra;
            result = _vmqpIsam(rewrite, keyed::slot(fcb), record, &length, prime, 0);
        }
        restore_position(fcb);
        set_status(fcb, result, VMQ_VERB_REWRITE);
    }
    runtime::report(target, result, nullptr);
}

void keyed_delete(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_DELETE);
    const vmq_file_description* description = target.description;
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    const uint16_t erase =
        static_cast<uint16_t>(IX_DELETE | keyed::lock_flag(fcb, description, IX_LOCK_RECORD));
    int result = 0;
    unsigned char key_area[kMaxKeyLength + 1] = {};
    const bool by_key_of_reference = !org.relative && keyed::sequential_access(description);
    if (refuse_call(fcb, description, org, VMQ_VERB_DELETE, false, by_key_of_reference, &result)) {
        runtime::report(target, result, nullptr);
        return;
    }
    unsigned char* record = fcb->record_area - extra;
    if (keyed::sequential_access(description)) {
        if ((fcb->last_verb & VMQ_VERB_READ) == 0 || (fcb->state_flags & VMQ_RECORD_READ) == 0) {
            fcb->status = 43;
        } else {
            uint32_t length = description->max_record_length + extra;
            result = _vmqpIsam(erase, keyed::slot(fcb), record, &length, key_area,
                               static_cast<uint8_t>(org.relative ? 0 : keyed::key_number(fcb)));
            set_status(fcb, result, VMQ_VERB_DELETE);
        }
    } else {
        // The record to delete is the one whose prime key is in the record
        // area, whatever the key of reference; that key's position (and
        // every other's) is kept.
        unsigned char prime[kMaxKeyLength + 1] = {};
        uint32_t prime_length = kRelativeNumberSize;
        if (org.relative) {
            std::memcpy(prime, &fcb->relative_number, kRelativeNumberSize);
        } else {
            const vmq_key_description& key = keyed::key(description, 0);
            prime_length = key.length;
            std::memcpy(prime, fcb->record_area + key.position, key.length);
        }
        save_position(fcb);
        uint32_t length = 0;
        std::memcpy(key_area, prime, prime_length);
        if (org.relative)
            std::memcpy(record, &fcb->relative_number, kRelativeNumberSize);
        result = _vmqpIsam(IX_READ_EQ, keyed::slot(fcb), record, &length, key_area, 0);
        if (result == IX_OK)
            result = _vmqpIsam(static_cast<uint16_t>(erase | IX_KEEP_POSITION), keyed::slot(fcb),
                               record, &length, key_area, 0);
        // The program's place comes back; when the record deleted was the
        // one it stood on, it stays just after the gap.
        restore_position(fcb);
        set_status(fcb, result, VMQ_VERB_DELETE);
    }
    runtime::report(target, result, nullptr);
}

}  // namespace kvr::verbs
