// READ and START of indexed and relative files: each one engine read,
// chosen from the request and the file's position state.
//
//   after                  position_valid  last_position_verb  next sequential READ
//   OPEN                   set             OPEN                first record
//   successful START       set             START               the record START found
//   successful READ        set             READ                the next record
//   failed START or READ   clear           unchanged           none: 46
//   READ with status 99    unchanged       unchanged           as before
//
// A READ or START that brings no record area to read into or take the key
// from, or goes by a key of reference the file does not have, fails as an
// engine refusal would, without an engine call: 30 ("No record area") or
// the engine's "invalid key number".
#include <cstring>

#include "engine/keyed_engine.h"
#include "engine/results.h"
#include "runtime/file_status.h"
#include "runtime/reporting.h"
#include "verbs/indexed/keyed_file.h"

namespace kvr::verbs {

namespace {

constexpr uint32_t kMaxKeyLength = 255;

bool delivered_length_outside_area(const vmq_file_description* description, uint32_t length) {
    return length < description->min_area_length || length > description->max_area_length;
}

}  // namespace

namespace keyed {

uint32_t relative_key_limit(const vmq_file_description* description) {
    if (description->relative_key_offset == 0)
        return 0;
    const auto* item = reinterpret_cast<const vmq_relative_key_item*>(
        reinterpret_cast<const unsigned char*>(description) + description->relative_key_offset);
    uint32_t limit = 9;
    for (int digits = 1; digits < item->digit_count && digits < 9; ++digits)
        limit = limit * 10 + 9;
    return limit;
}

}  // namespace keyed

namespace {

// The READ refused before the engine: the runtime found the RELATIVE KEY
// unusable (14), or the file has no position to read on from (46).
void refuse_read(const runtime::VerbTarget& target, uint16_t status) {
    target.fcb->status = status;
    target.fcb->state_flags &= ~VMQ_RECORD_READ;
    runtime::report(target, runtime::Diagnostic::kNone, nullptr);
}

// Which record a READ asks for, from the request and the position state.
// stepping: a sequential step, which delivers a relative record's number.
engine::Find read_direction(const vmq_fcb* fcb, const KeyedOrganization& org, bool sequential,
                            bool* stepping) {
    const uint32_t options = fcb->verb_options;
    const bool next = (options & VMQ_READ_NEXT) != 0;
    *stepping = true;
    if ((options & VMQ_READ_PREVIOUS) != 0) {
        // Right after START the record START found comes first, in either
        // direction; stepping back from it would skip it.
        return fcb->last_position_verb == VMQ_VERB_START ? engine::Find::kCurrent
                                                         : engine::Find::kPrevious;
    }
    if ((org.relative || (options & VMQ_KEY_IS) == 0) && (next || sequential)) {
        if (fcb->last_verb == VMQ_VERB_OPEN || fcb->last_position_verb == VMQ_VERB_OPEN)
            return engine::Find::kFirst;
        if (fcb->last_position_verb == VMQ_VERB_START)
            return engine::Find::kCurrent;
        return engine::Find::kNext;
    }
    *stepping = false;
    return engine::Find::kEqual;
}

// The statuses and position state after a READ the engine answered.
void read_done(vmq_fcb* fcb, const vmq_file_description* description, const KeyedOrganization& org,
               engine::Result result, uint32_t length, const unsigned char* buffer, bool stepping) {
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    if (result != engine::kOk && result != engine::kDuplicateFollows) {
        fcb->status = runtime::record_verb_status(keyed::outcome(result), VMQ_VERB_READ);
        if (result == engine::kEndOfFile)
            fcb->state_flags |= VMQ_AT_END;
        fcb->state_flags &= ~VMQ_RECORD_READ;
        if (fcb->status != 99)
            fcb->state_flags &= ~VMQ_POSITION_VALID;
        return;
    }
    fcb->status = result == engine::kDuplicateFollows ? 2 : 0;
    fcb->read_length = length - extra;
    if (delivered_length_outside_area(description, fcb->read_length))
        fcb->status = 4;
    fcb->state_flags |= VMQ_RECORD_READ | VMQ_POSITION_VALID;
    fcb->last_position_verb = VMQ_VERB_READ;
    if (org.relative && stepping) {
        uint32_t number = 0;
        std::memcpy(&number, buffer, kRelativeNumberSize);
        const uint32_t limit = keyed::relative_key_limit(description);
        if (limit != 0 && number > limit)
            fcb->status = 14;
        fcb->relative_number = number;
        if (fcb->status == 14)
            fcb->state_flags &= ~(VMQ_RECORD_READ | VMQ_POSITION_VALID);
    }
}

// The relation a START asks for (EQUAL when it names none).
engine::Find start_relation(uint32_t options) {
    if ((options & VMQ_START_EQUAL) != 0)
        return engine::Find::kEqual;
    if ((options & VMQ_START_GREATER) != 0)
        return engine::Find::kGreater;
    if ((options & VMQ_START_NOT_LESS) != 0)
        return engine::Find::kNotLess;
    if ((options & VMQ_START_LESS) != 0)
        return engine::Find::kLess;
    if ((options & VMQ_START_NOT_GREATER) != 0)
        return engine::Find::kNotGreater;
    return engine::Find::kEqual;
}

}  // namespace

void keyed_read(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    const vmq_file_description* description = vmq_find_description(fcb, context);
    if (org.relative && fcb->relative_key_error != 0) {
        // The runtime found the RELATIVE KEY unusable: no read at all.
        runtime::VerbTarget target{};
        target.fcb = fcb;
        target.context = context;
        target.description = description;
        target.status_item = vmq_item_address(description->status_base, description->status_offset);
        target.message_area =
            vmq_item_address(description->message_base, description->message_offset);
        target.verb = VMQ_VERB_READ;
        refuse_read(target, 14);
        return;
    }
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_READ);
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    uint32_t length = description->max_record_length + extra;
    const uint32_t options = fcb->verb_options;
    const bool stepping_request = (options & (VMQ_READ_NEXT | VMQ_READ_PREVIOUS)) != 0;
    const bool sequential = keyed::sequential_access(description);
    // Every READ of an indexed file but a random one without KEY IS goes by
    // the key of reference; a relative file has only its number.
    const bool by_key_of_reference =
        !org.relative && (stepping_request || sequential || (options & VMQ_KEY_IS) != 0);
    const int key_index = by_key_of_reference ? keyed::key_number(fcb) : 0;
    if ((fcb->state_flags & VMQ_POSITION_VALID) == 0 && (stepping_request || sequential)) {
        refuse_read(target, 46);
        return;
    }
    // A call the engine cannot be given: no area to read into, or a key of
    // reference the file does not have. It fails as an engine refusal would.
    runtime::Diagnostic code = runtime::Diagnostic::kNone;
    if (fcb->record_area == nullptr) {
        code = runtime::Diagnostic::kNoRecordArea;
    } else if (by_key_of_reference && !keyed::key_of_reference_known(fcb, description)) {
        code = runtime::Diagnostic::kBadKeyNumber;
    }
    if (code != runtime::Diagnostic::kNone) {
        fcb->status = runtime::record_verb_status(code, VMQ_VERB_READ);
        fcb->state_flags &= ~(VMQ_RECORD_READ | VMQ_POSITION_VALID);
        runtime::report(target, code, nullptr);
        return;
    }
    unsigned char* buffer = fcb->record_area - extra;
    unsigned char key_area[kMaxKeyLength + 1] = {};
    bool stepping = true;
    const engine::Find find = read_direction(fcb, org, sequential, &stepping);
    // Relative record number 0 is found when the file holds it: this
    // library never writes it, but another writer may have.
    if (find == engine::Find::kEqual && org.relative) {
        std::memcpy(buffer, &fcb->relative_number, kRelativeNumberSize);
        std::memcpy(key_area, &fcb->relative_number, kRelativeNumberSize);
    } else if (find == engine::Find::kEqual) {
        const vmq_key_description& key = keyed::key(description, key_index);
        std::memcpy(key_area, fcb->record_area + key.position, key.length);
    }
    engine::RecordCall call{};
    call.hold = keyed::locks_records(fcb, description);
    const engine::Result result = keyed::engine_of(fcb).read(
        keyed::slot(fcb), find, call, buffer, &length, key_area, static_cast<uint8_t>(key_index));
    read_done(fcb, description, org, result, length, buffer, stepping);
    runtime::report(target, keyed::outcome(result), nullptr);
}

void keyed_start(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_START);
    const vmq_file_description* description = target.description;
    const uint32_t options = fcb->verb_options;

    engine::Find find = start_relation(options);
    // A partial key is filled up to the whole key: with 0xFF for GREATER,
    // which must pass every key that begins with the value, else with 0x00.
    const unsigned char fill = find == engine::Find::kGreater ? 0xFF : 0x00;

    unsigned char key_area[kMaxKeyLength + 1] = {};
    const bool by_key_of_reference = !org.relative && (options & VMQ_KEY_IS) != 0;
    const int k = by_key_of_reference ? keyed::key_number(fcb) : 0;
    bool partial = false;
    uint32_t given = 0;
    // The key comes from the record area of an indexed file, from the FCB
    // of a relative one.
    runtime::Diagnostic refused = runtime::Diagnostic::kNone;
    if (!org.relative && fcb->record_area == nullptr)
        refused = runtime::Diagnostic::kNoRecordArea;
    else if (by_key_of_reference && !keyed::key_of_reference_known(fcb, description))
        refused = runtime::Diagnostic::kBadKeyNumber;
    if (refused == runtime::Diagnostic::kNone && org.relative) {
        std::memcpy(key_area, &fcb->relative_number, kRelativeNumberSize);
    } else if (refused == runtime::Diagnostic::kNone) {
        const vmq_key_description& key = keyed::key(description, k);
        // A key length beyond the key is taken as the whole key: the key
        // buffer is never overrun.
        given = fcb->start_key_length < key.length ? fcb->start_key_length : key.length;
        std::memcpy(key_area, fcb->record_area + key.position, given);
        if (given != key.length) {
            partial = true;
            std::memset(key_area + given, fill, key.length - given);
            if (find == engine::Find::kEqual)
                find = engine::Find::kNotLess;
        }
    }
    unsigned char wanted[kMaxKeyLength + 1];
    std::memcpy(wanted, key_area, given);

    runtime::Diagnostic code = refused;
    if (code == runtime::Diagnostic::kNone) {
        engine::Result result = engine::kNotFound;  // no relative record number is below 0
        if (!org.relative || fcb->relative_number != 0 || find != engine::Find::kLess) {
            uint32_t length = 0;
            engine::RecordCall call{};
            call.lock = keyed::locks_records(fcb, description);
            result = keyed::engine_of(fcb).read(keyed::slot(fcb), find, call, fcb->work_buffer,
                                                &length, key_area, static_cast<uint8_t>(k));
        }
        if (partial && (options & VMQ_START_EQUAL) != 0 &&
            (result == engine::kOk || result == engine::kDuplicateFollows) &&
            std::memcmp(key_area, wanted, given) != 0)
            result = engine::kNotFound;  // no key begins with the value given
        if (!org.relative && result == engine::kDuplicateFollows)
            result = engine::kOk;
        code = keyed::outcome(result);
    }
    if (code == runtime::Diagnostic::kNone) {
        fcb->read_length = 0;
        fcb->status = 0;
        fcb->state_flags |= VMQ_POSITION_VALID;
        fcb->last_position_verb = VMQ_VERB_START;
    } else {
        fcb->status = runtime::record_verb_status(code, VMQ_VERB_START);
        if (code == runtime::Diagnostic::kEndOfFile)
            fcb->state_flags |= VMQ_AT_END;
        fcb->state_flags &= ~VMQ_POSITION_VALID;
    }
    runtime::report(target, code, nullptr);
}

}  // namespace kvr::verbs
