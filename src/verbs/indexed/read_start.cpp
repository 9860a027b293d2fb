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

#include "engine/results.h"
#include "runtime/file_status.h"
#include "runtime/reporting.h"
#include "verbs/indexed/keyed_file.h"
#include "vmqrmkvr/isam.h"

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
        fcb->status = 14;
        fcb->state_flags &= ~VMQ_RECORD_READ;
        runtime::report(target, 0, nullptr);
        return;
    }
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_READ);
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    uint32_t length = description->max_record_length + extra;
    const uint16_t hold = keyed::lock_flag(fcb, description, IX_HOLD_RECORD);
    const uint32_t options = fcb->verb_options;
    const bool next = (options & VMQ_READ_NEXT) != 0;
    const bool previous = (options & VMQ_READ_PREVIOUS) != 0;
    const bool sequential = keyed::sequential_access(description);
    // Every READ of an indexed file but a random one without KEY IS goes by
    // the key of reference; a relative file has only its number.
    const bool by_key_of_reference =
        !org.relative && (next || previous || sequential || (options & VMQ_KEY_IS) != 0);
    const int key_index = by_key_of_reference ? keyed::key_number(fcb) : 0;

    if ((fcb->state_flags & VMQ_POSITION_VALID) == 0 && (next || sequential || previous)) {
        fcb->status = 46;
        fcb->state_flags &= ~VMQ_RECORD_READ;
        runtime::report(target, 0, nullptr);
        return;
    }

    // A call the engine cannot be given: no area to read into, or a key of
    // reference the file does not have. It fails as an engine refusal would.
    int result = 0;
    if (fcb->record_area == nullptr)
        result = runtime::kNoRecordArea;
    else if (by_key_of_reference && !keyed::key_of_reference_known(fcb, description))
        result = IX_BAD_KEY_NUMBER;
    unsigned char* buffer = result == 0 ? fcb->record_area - extra : nullptr;

    unsigned char key_area[kMaxKeyLength + 1] = {};
    int opcode;
    bool stepping = true;
    if (previous) {
        // Right after START the record START found comes first, in either
        // direction; stepping back from it would skip it.
        opcode = fcb->last_position_verb == VMQ_VERB_START ? IX_READ_CURRENT : IX_READ_PREV;
    } else if ((org.relative || (options & VMQ_KEY_IS) == 0) && (next || sequential)) {
        if (fcb->last_verb == VMQ_VERB_OPEN || fcb->last_position_verb == VMQ_VERB_OPEN)
            opcode = IX_READ_FIRST;
        else if (fcb->last_position_verb == VMQ_VERB_START)
            opcode = IX_READ_CURRENT;
        else
            opcode = IX_READ_NEXT;
    } else {
        opcode = IX_READ_EQ;
        stepping = false;
    }
    // Relative record number 0 is found when the file holds it: this
    // library never writes it, but another writer may have.
    if (result == 0) {
        if (opcode == IX_READ_EQ && org.relative) {
            std::memcpy(buffer, &fcb->relative_number, kRelativeNumberSize);
            std::memcpy(key_area, &fcb->relative_number, kRelativeNumberSize);
        } else if (opcode == IX_READ_EQ) {
            const vmq_key_description& key = keyed::key(description, key_index);
            std::memcpy(key_area, fcb->record_area + key.position, key.length);
        }
        result = _vmqpIsam(static_cast<uint16_t>(opcode | hold), keyed::slot(fcb), buffer, &length,
                           key_area, static_cast<uint8_t>(key_index));
    }
    if (result == IX_OK || result == IX_DUPLICATE_FOLLOWS) {
        fcb->status = result == IX_DUPLICATE_FOLLOWS ? 2 : 0;
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
    } else {
        fcb->status = runtime::record_verb_status(result, VMQ_VERB_READ);
        if (result == IX_END_OF_FILE)
            fcb->state_flags |= VMQ_AT_END;
        fcb->state_flags &= ~VMQ_RECORD_READ;
        if (fcb->status != 99)
            fcb->state_flags &= ~VMQ_POSITION_VALID;
    }
    runtime::report(target, result, nullptr);
}

void keyed_start(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_START);
    const vmq_file_description* description = target.description;
    const uint32_t options = fcb->verb_options;

    int opcode = IX_READ_EQ;
    unsigned char fill = 0x00;
    if ((options & VMQ_START_EQUAL) != 0) {
        opcode = IX_READ_EQ;
    } else if ((options & VMQ_START_GREATER) != 0) {
        opcode = IX_READ_GT;
        fill = 0xFF;
    } else if ((options & VMQ_START_NOT_LESS) != 0) {
        opcode = IX_READ_GE;
    } else if ((options & VMQ_START_LESS) != 0) {
        opcode = IX_READ_LT;
    } else if ((options & VMQ_START_NOT_GREATER) != 0) {
        opcode = IX_READ_LE;
    }

    unsigned char key_area[kMaxKeyLength + 1] = {};
    const bool by_key_of_reference = !org.relative && (options & VMQ_KEY_IS) != 0;
    const int k = by_key_of_reference ? keyed::key_number(fcb) : 0;
    bool partial = false;
    uint32_t given = 0;
    // The key comes from the record area of an indexed file, from the FCB
    // of a relative one.
    int result = 0;
    if (!org.relative && fcb->record_area == nullptr)
        result = runtime::kNoRecordArea;
    else if (by_key_of_reference && !keyed::key_of_reference_known(fcb, description))
        result = IX_BAD_KEY_NUMBER;
    if (result == 0 && org.relative) {
        std::memcpy(key_area, &fcb->relative_number, kRelativeNumberSize);
    } else if (result == 0) {
        const vmq_key_description& key = keyed::key(description, k);
        // A key length beyond the key is taken as the whole key: the key
        // buffer is never overrun.
        given = fcb->start_key_length < key.length ? fcb->start_key_length : key.length;
        std::memcpy(key_area, fcb->record_area + key.position, given);
        if (given != key.length) {
            partial = true;
            std::memset(key_area + given, fill, key.length - given);
            if (opcode == IX_READ_EQ)
                opcode = IX_READ_GE;
        }
    }
    unsigned char wanted[kMaxKeyLength + 1];
    std::memcpy(wanted, key_area, given);

    // No relative record number is below 0.
    if (result == 0 && org.relative && fcb->relative_number == 0 && opcode == IX_READ_LT)
        result = IX_NOT_FOUND;

    uint32_t length = 0;
    const uint16_t lock = keyed::lock_flag(fcb, description, IX_LOCK_RECORD);
    if (result == 0)
        result = _vmqpIsam(static_cast<uint16_t>(opcode | lock), keyed::slot(fcb), fcb->work_buffer,
                           &length, key_area, static_cast<uint8_t>(k));
    if (partial && (options & VMQ_START_EQUAL) != 0 &&
        (result == IX_OK || result == IX_DUPLICATE_FOLLOWS) &&
        std::memcmp(key_area, wanted, given) != 0)
        result = IX_NOT_FOUND;  // no key begins with the value given
    if (!org.relative && result == IX_DUPLICATE_FOLLOWS)
        result = IX_OK;
    if (result == IX_OK) {
        fcb->read_length = 0;
        fcb->status = 0;
        fcb->state_flags |= VMQ_POSITION_VALID;
        fcb->last_position_verb = VMQ_VERB_START;
    } else {
        fcb->status = runtime::record_verb_status(result, VMQ_VERB_START);
        if (result == IX_END_OF_FILE)
            fcb->state_flags |= VMQ_AT_END;
        fcb->state_flags &= ~VMQ_POSITION_VALID;
    }
    runtime::report(target, result, nullptr);
}

}  // namespace kvr::verbs
