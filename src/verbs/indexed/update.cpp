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

#include "engine/keyed_engine.h"
#include "engine/results.h"
#include "runtime/file_status.h"
#include "runtime/reporting.h"
#include "verbs/indexed/keyed_file.h"

namespace kvr::verbs {

namespace {

constexpr uint32_t kMaxKeyLength = 255;

bool length_outside_record(const vmq_fcb* fcb, const vmq_file_description* description) {
    return fcb->write_length < description->min_record_length ||
           fcb->write_length > description->max_record_length;
}

void set_status(vmq_fcb* fcb, engine::Result result, uint8_t verb) {
    fcb->status = runtime::record_verb_status(keyed::outcome(result), verb);
    if (result == engine::kEndOfFile)
        fcb->state_flags |= VMQ_AT_END;
}

// What a call must bring before the engine is given it: a record area; for
// WRITE and REWRITE (with_record), a record within the file's lengths that
// holds every key (44 otherwise); and, when the verb goes by it, a key of
// reference the file has. True when the call is refused, with the status
// set and *code the diagnostic.
bool refuse_call(vmq_fcb* fcb, const vmq_file_description* description,
                 const KeyedOrganization& org, uint8_t verb, bool with_record,
                 bool by_key_of_reference, runtime::Diagnostic* code) {
    using enum runtime::Diagnostic;
    *code = kNone;
    if (fcb->record_area == nullptr) {
        *code = kNoRecordArea;
        fcb->status = 30;
    } else if (with_record && length_outside_record(fcb, description)) {
        fcb->status = 44;
    } else if (with_record && !org.relative && fcb->write_length < keyed::keys_end(description)) {
        fcb->status = 44;
        *code = kRecordTooShort;
    } else if (by_key_of_reference && !keyed::key_of_reference_known(fcb, description)) {
        *code = kBadKeyNumber;
        fcb->status = runtime::record_verb_status(kBadKeyNumber, verb);
    } else {
        return false;
    }
    return true;
}

// The prime key of the record in the record area (for a relative file, its
// number) into key; its length.
uint32_t prime_key(const vmq_fcb* fcb, const vmq_file_description* description,
                   const KeyedOrganization& org, unsigned char* key) {
    if (org.relative) {
        std::memcpy(key, &fcb->relative_number, kRelativeNumberSize);
        return kRelativeNumberSize;
    }
    const vmq_key_description& prime = keyed::key(description, 0);
    std::memcpy(key, fcb->record_area + prime.position, prime.length);
    return prime.length;
}

// A relative file written sequentially: the RELATIVE KEY gets the number
// the record was given, when it can hold it (24 otherwise).
void take_written_number(vmq_fcb* fcb, const vmq_file_description* description,
                         const unsigned char* key_area) {
    uint32_t number = 0;
    std::memcpy(&number, key_area, kRelativeNumberSize);
    const uint32_t limit = keyed::relative_key_limit(description);
    if (limit != 0 && number > limit)
        fcb->status = 24;  // written, but the RELATIVE KEY cannot hold its number
    fcb->relative_number = number;
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
    runtime::Diagnostic code = runtime::Diagnostic::kNone;
    if (org.relative && !sequential && fcb->record_area != nullptr && fcb->relative_number == 0) {
        // Relative record number 0 lies outside the file: a boundary
        // violation, nothing written. (A file another writer made may hold
        // a record 0; READ, REWRITE and DELETE find it.)
        fcb->status = 24;
    } else if (!refuse_call(fcb, description, org, VMQ_VERB_WRITE, true, by_key_of_reference,
                            &code)) {
        const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
        unsigned char key_area[kMaxKeyLength + 1] = {};
        const int k = by_key_of_reference ? keyed::key_number(fcb) : 0;
        engine::RecordCall call{};
        call.lock = keyed::locks_records(fcb, description);
        // A WRITE leaves the file position where it was: READ NEXT goes on
        // from the record the program last read, not from the one written.
        call.keep_position = (fcb->open_mode & VMQ_OPEN_IO) != 0 && !sequential;
        const engine::Result result = keyed::engine_of(fcb).write(
            keyed::slot(fcb), call, fcb->record_area - extra, fcb->write_length + extra, key_area,
            static_cast<uint8_t>(k));
        code = keyed::outcome(result);
        set_status(fcb, result, VMQ_VERB_WRITE);
        if (org.relative && sequential && result == engine::kOk &&
            description->relative_key_offset != 0)
            take_written_number(fcb, description, key_area);
    }
    runtime::report(target, code, nullptr);
}

void keyed_rewrite(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    const vmq_file_description* description = vmq_find_description(fcb, context);
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    if (org.relative && fcb->record_area != nullptr)
        std::memcpy(fcb->record_area - extra, &fcb->relative_number, kRelativeNumberSize);
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_REWRITE);
    engine::RecordCall call{};
    call.lock = keyed::locks_records(fcb, description);
    const bool sequential = keyed::sequential_access(description);
    // Under sequential access the engine is told the key of reference.
    const bool by_key_of_reference = !org.relative && sequential;
    runtime::Diagnostic code = runtime::Diagnostic::kNone;
    if (refuse_call(fcb, description, org, VMQ_VERB_REWRITE, true, by_key_of_reference, &code)) {
        runtime::report(target, code, nullptr);
        return;
    }
    const engine::KeyedEngine& engine = keyed::engine_of(fcb);
    void* slot = keyed::slot(fcb);
    unsigned char* record = fcb->record_area - extra;
    const uint32_t length = fcb->write_length + extra;
    if (sequential && (fcb->state_flags & VMQ_RECORD_READ) == 0) {
        fcb->status = 43;
    } else if (sequential) {
        unsigned char key_area[kMaxKeyLength + 1] = {};
        const int k = by_key_of_reference ? keyed::key_number(fcb) : 0;
        const engine::Result result =
            engine.rewrite(slot, call, record, length, key_area, static_cast<uint8_t>(k));
        code = keyed::outcome(result);
        set_status(fcb, result, VMQ_VERB_REWRITE);
    } else {
        unsigned char prime[kMaxKeyLength + 1] = {};
        prime_key(fcb, description, org, prime);
        engine.hold_position(slot);
        uint32_t found = 0;
        // A relative record 0 another writer made is found too.
        engine::Result result = engine.read(slot, engine::Find::kEqual, engine::RecordCall{},
                                            fcb->work_buffer, &found, prime, 0);
        if (result == engine::kOk)
            result = engine.rewrite(slot, call, record, length, prime, 0);
        engine.restore_position(slot);
        code = keyed::outcome(result);
        set_status(fcb, result, VMQ_VERB_REWRITE);
    }
    runtime::report(target, code, nullptr);
}

void keyed_delete(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_DELETE);
    const vmq_file_description* description = target.description;
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    engine::RecordCall call{};
    call.lock = keyed::locks_records(fcb, description);
    runtime::Diagnostic code = runtime::Diagnostic::kNone;
    unsigned char key_area[kMaxKeyLength + 1] = {};
    const bool sequential = keyed::sequential_access(description);
    const bool by_key_of_reference = !org.relative && sequential;
    if (refuse_call(fcb, description, org, VMQ_VERB_DELETE, false, by_key_of_reference, &code)) {
        runtime::report(target, code, nullptr);
        return;
    }
    const engine::KeyedEngine& engine = keyed::engine_of(fcb);
    void* slot = keyed::slot(fcb);
    unsigned char* record = fcb->record_area - extra;
    engine::Result result = engine::kOk;
    if (sequential) {
        if ((fcb->last_verb & VMQ_VERB_READ) == 0 || (fcb->state_flags & VMQ_RECORD_READ) == 0) {
            fcb->status = 43;
            runtime::report(target, code, nullptr);
            return;
        }
        uint32_t length = description->max_record_length + extra;
        result = engine.erase(slot, call, record, &length, key_area,
                              static_cast<uint8_t>(org.relative ? 0 : keyed::key_number(fcb)));
    } else {
        // The record to delete is the one whose prime key is in the record
        // area, whatever the key of reference; that key's position (and
        // every other's) is kept.
        prime_key(fcb, description, org, key_area);
        engine.hold_position(slot);
        uint32_t length = 0;
        if (org.relative)
            std::memcpy(record, &fcb->relative_number, kRelativeNumberSize);
        result = engine.read(slot, engine::Find::kEqual, engine::RecordCall{}, record, &length,
                             key_area, 0);
        call.keep_position = true;
        if (result == engine::kOk)
            result = engine.erase(slot, call, record, &length, key_area, 0);
        // The program's place comes back; when the record deleted was the
        // one it stood on, it stays just after the gap.
        engine.restore_position(slot);
    }
    code = keyed::outcome(result);
    set_status(fcb, result, VMQ_VERB_DELETE);
    runtime::report(target, code, nullptr);
}

}  // namespace kvr::verbs
