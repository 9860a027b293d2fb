// OPEN and CLOSE of indexed and relative files.
//
// OPEN decides whether the file must be created, opens it in the engine,
// checks that an existing file has the shape the program declares (record
// lengths, record type, keys), empties it for OUTPUT, positions it for
// OUTPUT and EXTEND, and fills the FCB's verb vector. A failed OPEN leaves
// the vector as it was and gives back the storage it took. CLOSE closes the
// engine file and empties the vector again.
#include <cstring>

#include "engine/named_file.h"
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
        const ix_key_spec spec{
            static_cast<int16_t>(key.position + 1), static_cast<int16_t>(key.length),
            static_cast<int16_t>((key.flags & VMQ_KEY_DUPLICATES) ? 1 : 0), IX_KEY_TYPE_BYTES};
        ix_key_spec_encode(block, i, &spec);
    }
    return ix_attributes_size(keys);
}

// The first difference between an existing file's attribute block and the
// program's description, as a diagnostic code; 0 when they agree.
int attribute_difference(const unsigned char* block, const vmq_file_description* description,
                         const KeyedOrganization& org) {
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
            return 1001;  // an indexed file, whatever its key looks like
        if (file.max_record_length != description->max_record_length + kRelativeNumberSize)
            return 1005;
        return file_variable != variable ? 1006 : 0;
    }
    if (file.key_count > 0 && first.key_type == IX_KEY_TYPE_NUMBER)
        return 1002;
    if (file.key_count < 0 || static_cast<uint32_t>(file.key_count) != description->key_count)
        return 1004;
    if (file.max_record_length != description->max_record_length)
        return 1005;
    if (file_variable != variable)
        return 1006;
    for (int i = 0; i < file.key_count; ++i) {
        ix_key_spec existing{};
        ix_key_spec_decode(block, i, &existing);
        const vmq_key_description& key = keyed::key(description, i);
        if (static_cast<uint32_t>(existing.key_offset) != key.position + 1 ||
            static_cast<uint32_t>(existing.key_length) != key.length)
            return 1007;
    }
    return 0;
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

}  // namespace

void keyed_open(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    void* slot = take_engine_slot(fcb);
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_OPEN);
    const vmq_file_description* description = target.description;

    char* name_copy = nullptr;
    const char* name = runtime::open_file_name(fcb, description, &name_copy);
    unsigned char block[kAttributeBlockSize];
    const uint32_t block_size = setup_file(description, org, block);
    const uint16_t request = fcb->open_request;
    const bool output = (request & VMQ_OPEN_OUTPUT) != 0;
    bool existed = engine::file_exists(name);

    int code = 0;
    bool opened = false;  // the vector is filled
    bool absent_input = false;
    uint8_t mode =
        (request & VMQ_OPEN_INPUT) != 0 ? IX_MODE_INPUT : (org.relative ? 3 : IX_MODE_UPDATE);
    if (keyed::sequential_access(description))
        mode |= IX_MODE_SEQUENTIAL;
    if ((request & VMQ_OPEN_EXTEND) != 0)
        mode |= IX_MODE_EXTEND;
    if (org.shared)
        mode |= IX_MODE_SHARED;

    bool stop = false;
    if (!names_an_open_mode(request)) {
        // No mode a runtime asks for: nothing is opened or made.
        fcb->status = 30;
        code = runtime::kInvalidOpenMode;
        stop = true;
    } else if (slot == nullptr) {
        fcb->status = 30;
        code = IX_NO_SPACE;
        stop = true;
    } else if (!existed) {
        const MissingFile missing = open_missing_file(fcb, description, org.close, &code);
        absent_input = missing == MissingFile::kAbsentInput;
        stop = missing != MissingFile::kCreate;
        if (!stop) {
            uint32_t size = block_size;
            code = _vmqpIsam(IX_CREATE, slot, block, &size, const_cast<char*>(name), 0);
            if (code != 0) {
                fcb->status = runtime::open_status(code);
                stop = true;
            }
        }
    }
    if (!stop) {
        code = _vmqpIsam(IX_OPEN, slot, nullptr, nullptr, const_cast<char*>(name), mode);
        if (code != 0 && existed && engine::is_empty_file(name)) {
            if (output) {
                // Left empty by a run that died before its first write:
                // OUTPUT makes it anew.
                existed = false;
                uint32_t size = block_size;
                code = _vmqpIsam(IX_CREATE, slot, block, &size, const_cast<char*>(name), 0);
                if (code == 0)
                    code =
                        _vmqpIsam(IX_OPEN, slot, nullptr, nullptr, const_cast<char*>(name), mode);
            } else {
                code = runtime::kEmptyFile;
            }
        }
        if (code == IX_UNFINISHED_UPDATE && output) {
            // OUTPUT throws the contents away: a file an update session
            // never closed is read only for its attributes, then replaced.
            code = _vmqpIsam(IX_OPEN, slot, nullptr, nullptr, const_cast<char*>(name),
                             IX_MODE_INPUT | IX_MODE_UNFINISHED_OK);
        }
        if (code != 0) {
            fcb->status = code == runtime::kEmptyFile ? 30 : runtime::open_status(code);
            stop = true;
        }
    }
    if (!stop && existed) {
        uint32_t capacity = kAttributeBlockSize;
        code = _vmqpIsam(IX_GET_ATTRIBUTES, slot, block, &capacity, nullptr, 0);
        if (code == 0)
            code = attribute_difference(block, description, org);
        if (code != 0) {
            fcb->status = 39;
            _vmqpIsam(IX_CLOSE, slot, nullptr, nullptr, nullptr, 0);
            stop = true;
        } else if (output) {
            // Replace the file by an empty one of its own attributes, with
            // the program's duplicates rules.
            if (!org.relative)
                take_duplicates_rules(block, description);
            _vmqpIsam(IX_CLOSE, slot, nullptr, nullptr, nullptr, 0);
            engine::remove_file(name);
            uint32_t size = kAttributeBlockSize;
            const int created =
                _vmqpIsam(IX_CREATE, slot, block, &size, const_cast<char*>(name), 0);
            if (created != 0) {
                code = created;
                fcb->status = runtime::open_status(created);
            }
            const int reopened =
                _vmqpIsam(IX_OPEN, slot, nullptr, nullptr, const_cast<char*>(name), mode);
            if (reopened != 0) {
                code = reopened;
                fcb->status = runtime::open_status(reopened);
            }
            if (created != 0 || reopened != 0) {
                if (reopened == 0)
                    _vmqpIsam(IX_CLOSE, slot, nullptr, nullptr, nullptr, 0);
                stop = true;
            }
        }
    }
    // Why the engine refused, where it can say more than the code's text.
    char detail[160] = "";
    if (stop && code != 0)
        engine::open_refusal_detail(name, code, detail, sizeof detail);
    if (name_copy != nullptr)
        _vmqCheckFree(name_copy);

    if (!stop) {
        install_vector(fcb, description, org);
        opened = true;
        if (org.relative) {
            if ((request & VMQ_OPEN_EXTEND) != 0) {
                // Sequential writes go on from the last record's number.
                unsigned char number[kRelativeNumberSize] = {};
                uint32_t length = 0;
                const int last =
                    _vmqpIsam(IX_READ_LAST, slot, fcb->work_buffer, &length, number, 0);
                if (last == 0 || last == IX_END_OF_FILE) {
                    std::memcpy(&fcb->relative_number, number, kRelativeNumberSize);
                } else {
                    fcb->status = 30;
                    code = last;
                }
            }
        } else if ((request & (VMQ_OPEN_OUTPUT | VMQ_OPEN_EXTEND)) != 0) {
            uint32_t length = 0;
            unsigned char key_area[256];
            code = _vmqpIsam(output ? IX_READ_FIRST : IX_READ_LAST, slot, fcb->work_buffer, &length,
                             key_area, 0);
        }
    }
    if (!opened && !absent_input) {
        // A failed OPEN leaves the file closed: nothing will close this slot.
        give_back_engine_slot(fcb);
    }
    runtime::report(target, code, block, detail);
}

void keyed_close(vmq_fcb* fcb, vmq_program_context* context, const KeyedOrganization& org) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_CLOSE);
    int result = 0;
    const bool never_opened =
        (fcb->state_flags & VMQ_OPTIONAL_ABSENT) != 0 && (fcb->open_mode & VMQ_OPEN_INPUT) != 0;
    const uint16_t options = fcb->close_options;
    const bool release_only = (options & VMQ_CLOSE_RELEASE_ONLY) != 0;
    void* slot = keyed::slot(fcb);
    if (!never_opened)
        result = _vmqpIsam(IX_CLOSE, slot, nullptr, nullptr, nullptr,
                           release_only ? IX_CLOSE_GIVE_UP : 0);
    // A file that could not write what it holds (a full disk) stays open in
    // the engine, and so in the FCB: the program may CLOSE it again once
    // there is room, and nothing it was told was written is lost.
    const bool kept = slot != nullptr && *static_cast<void**>(slot) != nullptr;
    if (!release_only) {
        if (result != 0) {
            fcb->status = runtime::close_status(result);
        } else {
            install_closed_vector(fcb, org.open, options);
            fcb->status = 0;
        }
        // A failing CLOSE is reported like any other verb: the program's
        // status item must not keep the 00 or 02 of the verb before.
        runtime::report(target, result, nullptr);
    }
    if (!kept)
        release_file_storage(fcb);
}

}  // namespace kvr::verbs
