// OPEN and CLOSE of indexed and relative files.
//
// OPEN decides whether the file must be created, opens it in the engine,
// checks that an existing file has the shape the program declares (record
// lengths, record type, keys), empties it for OUTPUT, positions it for
// OUTPUT and EXTEND, and fills the FCB's verb vector. A failed OPEN leaves
// the vector as it was and gives back the storage it took. CLOSE closes the
// engine file and empties the vector again.
#include <cstring>

#include "engine/keyed_engine.h"
#include "engine/results.h"
#include "runtime/file_name.h"
#include "runtime/file_status.h"
#include "runtime/reporting.h"
#include "verbs/closed_file.h"
#include "verbs/indexed/keyed_file.h"
#include "verbs/opening.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::verbs {

namespace {

// The attribute block of the program's file.
uint32_t setup_file(const vmq_file_description* description, const KeyedOrganization& org,
                    unsigned char* block) {
    std::memset(block, 0, kAttributeBlockSize);
    ix_attributes fixed{};
    const uint32_t extra = org.relative ? kRelativeNumberSize : 0;
    fixed.min_record_length = description->min_record_length + extra;
    fixed.max_record_length = description->max_record_length + extra;
    fixed.area_length = description->max_area_length + extra;
    fixed.options = (description->record_flags & VMQ_RECORD_VARIABLE) != 0 ? IX_ATTR_VARIABLE : 0;
    if (org.relative) {
        fixed.key_count = 1;
        ix_attributes_encode(block, &fixed);
        const ix_key_spec number{1, 4, 0, IX_KEY_TYPE_NUMBER};
        ix_key_spec_encode(block, 0, &number);
        return ix_attributes_size(1);
    }
    fixed.key_count =
        static_cast<int16_t>(description->key_count > 0x7FFF ? 0x7FFF : description->key_count);
    ix_attributes_encode(block, &fixed);
    // A description with more keys than a file can have gets none written:
    // the engine refuses its key count.
    const int keys = description->key_count <= 255 ? static_cast<int>(description->key_count) : 0;
    for (int i = 0; i < keys; ++i) {
        const vmq_key_description& key = keyed::key(description, i);
        const ix_key_spec entry{
            static_cast<int16_t>(key.position + 1), static_cast<int16_t>(key.length),
            static_cast<int16_t>((key.flags & VMQ_KEY_DUPLICATES) ? 1 : 0), IX_KEY_TYPE_BYTES};
        ix_key_spec_encode(block, i, &entry);
    }
    return ix_attributes_size(keys);
}

// The first difference between an existing file's attribute block and the
// program's description; none when they agree.
runtime::Diagnostic attribute_difference(const unsigned char* block,
                                         const vmq_file_description* description,
                                         const KeyedOrganization& org) {
    using enum runtime::Diagnostic;
    ix_attributes file{};
    ix_attributes_decode(block, &file);
    const bool variable = (description->record_flags & VMQ_RECORD_VARIABLE) != 0;
    const bool file_variable = (file.options & IX_ATTR_VARIABLE) != 0;
    ix_key_spec first{};
    if (file.key_count > 0)
        ix_key_spec_decode(block, 0, &first);
    if (org.relative) {
        if (file.key_count != 1 || first.key_offset != 1 || first.key_length != 4 ||
            first.key_type != IX_KEY_TYPE_NUMBER)
            return kIndexedFile;  // an indexed file, whatever its key looks like
        if (file.max_record_length != description->max_record_length + kRelativeNumberSize)
            return kRecordLengthsDiffer;
        return file_variable != variable ? kRecordTypesDiffer : kNone;
    }
    if (file.key_count > 0 && first.key_type == IX_KEY_TYPE_NUMBER)
        return kRelativeFile;
    if (file.key_count < 0 || static_cast<uint32_t>(file.key_count) != description->key_count)
        return kKeyCountDiffers;
    if (file.max_record_length != description->max_record_length)
        return kRecordLengthsDiffer;
    if (file_variable != variable)
        return kRecordTypesDiffer;
    for (int i = 0; i < file.key_count; ++i) {
        ix_key_spec existing{};
        ix_key_spec_decode(block, i, &existing);
        const vmq_key_description& key = keyed::key(description, i);
        if (static_cast<uint32_t>(existing.key_offset) != key.position + 1 ||
            static_cast<uint32_t>(existing.key_length) != key.length)
            return kKeyPlaceDiffers;
    }
    return kNone;
}

// OUTPUT makes the file anew as the program describes it: each key of the
// file's attribute block takes the program's duplicates rule (the attribute
// check compares no such rule).
void take_duplicates_rules(unsigned char* block, const vmq_file_description* description) {
    ix_attributes file{};
    ix_attributes_decode(block, &file);
    for (int i = 0; i < file.key_count && static_cast<uint32_t>(i) < description->key_count; ++i) {
        ix_key_spec key{};
        ix_key_spec_decode(block, i, &key);
        const bool duplicates = (keyed::key(description, i).flags & VMQ_KEY_DUPLICATES) != 0;
        key.key_flags = static_cast<int16_t>((key.key_flags & ~1) | (duplicates ? 1 : 0));
        ix_key_spec_encode(block, i, &key);
    }
}

void install_vector(vmq_fcb* fcb, const vmq_file_description* description,
                    const KeyedOrganization& org) {
    const uint16_t request = fcb->open_request;
    if ((request & (VMQ_OPEN_OUTPUT | VMQ_OPEN_EXTEND)) != 0) {
        fcb->write_entry = org.write;
    } else {
        fcb->read_entry = org.read;
        fcb->start_entry = org.start;
        if ((request & VMQ_OPEN_IO) != 0) {
            fcb->delete_entry = org.remove;
            fcb->rewrite_entry = org.rewrite;
        }
        // Random and dynamic access may WRITE when the file is open I-O;
        // open INPUT, WRITE stays with the runtime's 48.
        if ((request & VMQ_OPEN_IO) != 0 && !keyed::sequential_access(description))
            fcb->write_entry = org.write;
    }
    fcb->open_entry = _vmqOpenError;
    fcb->close_entry = org.close;
    fcb->state_flags |= VMQ_POSITION_VALID;
    fcb->last_position_verb = VMQ_VERB_OPEN;
    fcb->open_mode = request;
    fcb->key_of_reference = 1;
}

// One OPEN on its way: what it was asked, what it found, how it ends. Plain
// data, as the verb frame wants.
struct Opening {
    vmq_fcb* fcb;
    const vmq_file_description* description;
    const KeyedOrganization* org;
    const engine::KeyedEngine* engine;
    void* slot;
    const char* name;
    engine::OpenRequest request;
    bool output;
    bool existed;
    bool absent_input = false;  // an OPTIONAL file opened INPUT, left without a file
    runtime::Diagnostic outcome = runtime::Diagnostic::kNone;
    engine::Result refused = engine::kOk;  // the engine result of a refusal
    uint32_t block_size;
    unsigned char block[kAttributeBlockSize];
};

// Records an engine result; true when it failed, with the status set.
bool engine_failed(Opening& o, engine::Result result) {
    o.refused = result;
    o.outcome = keyed::outcome(result);
    if (result == engine::kOk)
        return false;
    o.fcb->status = runtime::open_status(o.outcome);
    return true;
}

bool create_and_open(Opening& o, uint32_t size) {
    return !engine_failed(o, o.engine->create(o.slot, o.name, o.block, size)) &&
           !engine_failed(o, o.engine->open(o.slot, o.name, o.request));
}

// What is refused before the engine opens anything: no open mode, no room
// for the slot, a missing file that is not OPTIONAL. A missing file OPEN
// makes is made here. True when the OPEN ends here.
bool refuse_or_make(Opening& o) {
    if (!names_an_open_mode(o.fcb->open_request)) {
        // No mode a runtime asks for: nothing is opened or made.
        o.fcb->status = 30;
        o.outcome = runtime::Diagnostic::kInvalidOpenMode;
        return true;
    }
    if (o.slot == nullptr) {
        o.fcb->status = 30;
        o.outcome = runtime::Diagnostic::kNoSpace;
        return true;
    }
    if (o.existed)
        return false;
    const MissingFile missing = open_missing_file(o.fcb, o.description, o.org->close, &o.outcome);
    o.absent_input = missing == MissingFile::kAbsentInput;
    if (missing != MissingFile::kCreate)
        return true;
    return engine_failed(o, o.engine->create(o.slot, o.name, o.block, o.block_size));
}

// Opens the file in the engine. A file of no bytes (left by a run that died
// before its first write) OUTPUT makes anew, and other modes refuse; a file
// an update session never closed OUTPUT opens only for its attributes,
// since it throws the contents away. True when the OPEN ends here.
bool open_in_engine(Opening& o) {
    engine::Result result = o.engine->open(o.slot, o.name, o.request);
    if (result != engine::kOk && o.existed && o.engine->is_empty(o.name)) {
        if (!o.output) {
            o.fcb->status = 30;
            o.outcome = runtime::Diagnostic::kEmptyFile;
            return true;
        }
        o.existed = false;
        return !create_and_open(o, o.block_size);
    }
    if (result == engine::kUnfinishedUpdate && o.output) {
        engine::OpenRequest attributes_only{};
        attributes_only.unfinished_ok = true;
        result = o.engine->open(o.slot, o.name, attributes_only);
    }
    return engine_failed(o, result);
}

// OUTPUT replaces the file by an empty one of its own attributes, with the
// program's duplicates rules. True when that failed.
bool make_anew(Opening& o) {
    if (!o.org->relative)
        take_duplicates_rules(o.block, o.description);
    o.engine->close(o.slot, false);
    o.engine->remove(o.name);
    const engine::Result created = o.engine->create(o.slot, o.name, o.block, kAttributeBlockSize);
    if (created != engine::kOk)
        engine_failed(o, created);
    const engine::Result reopened = o.engine->open(o.slot, o.name, o.request);
    if (reopened != engine::kOk)
        engine_failed(o, reopened);
    if (created == engine::kOk && reopened == engine::kOk)
        return false;
    if (reopened == engine::kOk)
        o.engine->close(o.slot, false);
    return true;
}

// An existing file must have the program's record lengths, record type and
// keys (39 otherwise). True when the OPEN ends here.
bool check_existing(Opening& o) {
    if (!o.existed)
        return false;
    const engine::Result got = o.engine->attributes(o.slot, o.block, kAttributeBlockSize);
    o.outcome = got != engine::kOk ? keyed::outcome(got)
                                   : attribute_difference(o.block, o.description, *o.org);
    if (o.outcome != runtime::Diagnostic::kNone) {
        o.fcb->status = 39;
        o.engine->close(o.slot, false);
        return true;
    }
    return o.output && make_anew(o);
}

// After the OPEN: sequential writes of a relative file opened EXTEND go on
// from the last record's number; an indexed file opened OUTPUT or EXTEND is
// positioned at its first or last record.
void position_opened(Opening& o) {
    vmq_fcb* fcb = o.fcb;
    const uint16_t request = fcb->open_request;
    const engine::RecordCall plain{};
    uint32_t length = 0;
    if (o.org->relative) {
        if ((request & VMQ_OPEN_EXTEND) == 0)
            return;
        unsigned char number[kRelativeNumberSize] = {};
        const engine::Result last = o.engine->read(o.slot, engine::Find::kLast, plain,
                                                   fcb->work_buffer, &length, number, 0);
        if (last == engine::kOk || last == engine::kEndOfFile) {
            std::memcpy(&fcb->relative_number, number, kRelativeNumberSize);
        } else {
            fcb->status = 30;
            o.outcome = keyed::outcome(last);
        }
    } else if ((request & (VMQ_OPEN_OUTPUT | VMQ_OPEN_EXTEND)) != 0) {
        unsigned char key_area[256];
        o.outcome = keyed::outcome(
            o.engine->read(o.slot, o.output ? engine::Find::kFirst : engine::Find::kLast, plain,
                           fcb->work_buffer, &length, key_area, 0));
    }
}

void start_opening(Opening& o, vmq_fcb* fcb, const vmq_file_description* description,
                   const KeyedOrganization& org, void* slot, const char* name) {
    const uint16_t request = fcb->open_request;
    o.fcb = fcb;
    o.description = description;
    o.org = &org;
    o.engine = &engine::engine_for(name);
    o.slot = slot;
    o.name = name;
    o.output = (request & VMQ_OPEN_OUTPUT) != 0;
    o.request.update = (request & VMQ_OPEN_INPUT) == 0;
    o.request.relative = org.relative;
    o.request.sequential = keyed::sequential_access(description);
    o.request.extend = (request & VMQ_OPEN_EXTEND) != 0;
    o.request.shared = org.shared;
    o.existed = o.engine->exists(name);
    o.block_size = setup_file(description, org, o.block);
    if (slot != nullptr)
        keyed::keep_engine(slot, *o.engine);
}

}  // namespace

void keyed_open(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    void* slot = take_engine_slot(fcb);
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_OPEN);
    char* name_copy = nullptr;
    const char* name = runtime::open_file_name(fcb, target.description, &name_copy);
    Opening o;
    start_opening(o, fcb, target.description, org, slot, name);
    const bool stop = refuse_or_make(o) || open_in_engine(o) || check_existing(o);
    // Why the engine refused, where it can say more than the code's text.
    char detail[160] = "";
    if (stop && o.outcome != runtime::Diagnostic::kNone)
        o.engine->refusal_detail(name, o.refused, detail, sizeof detail);
    if (name_copy != nullptr)
        _vmqCheckFree(name_copy);
    if (!stop) {
        install_vector(fcb, target.description, org);
        position_opened(o);
    } else if (!o.absent_input) {
        // A failed OPEN leaves the file closed: nothing will close this slot.
        give_back_engine_slot(fcb);
    }
    runtime::report(target, o.outcome, o.block, detail);
}

void keyed_close(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_CLOSE);
    engine::Result result = engine::kOk;
    const bool never_opened =
        (fcb->state_flags & VMQ_OPTIONAL_ABSENT) != 0 && (fcb->open_mode & VMQ_OPEN_INPUT) != 0;
    const uint16_t options = fcb->close_options;
    const bool release_only = (options & VMQ_CLOSE_RELEASE_ONLY) != 0;
    void* slot = keyed::slot(fcb);
    const engine::KeyedEngine& engine = keyed::engine_of(fcb);
    if (!never_opened)
        result = engine.close(slot, release_only);
    // A file that could not write what it holds (a full disk) stays open in
    // the engine, and so in the FCB: the program may CLOSE it again once
    // there is room, and nothing it was told was written is lost.
    const bool kept = engine.is_open(slot);
    if (!release_only) {
        if (result != engine::kOk) {
            fcb->status = runtime::close_status(keyed::outcome(result));
        } else {
            install_closed_vector(fcb, org.open, options);
            fcb->status = 0;
        }
        // A failing CLOSE is reported like any other verb: the program's
        // status item must not keep the 00 or 02 of the verb before.
        runtime::report(target, keyed::outcome(result), nullptr);
    }
    if (!kept)
        release_file_storage(fcb);
}

}  // namespace kvr::verbs
