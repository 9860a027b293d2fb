// The verbs of sequential files: OPEN, CLOSE, READ, WRITE and REWRITE on
// the sequential engine.
//
// WRITE also carries out ADVANCING and the LINAGE page model. The file
// holds no line or page control characters: a line advance is written as
// blank records (min_record_length spaces) and printing over the same line
// as replacing the last record. With BEFORE ADVANCING the file always ends
// with a blank record standing for the current line, which the next such
// WRITE replaces.
//
// The workers run inside the verb frame and call the runtime, which may
// abandon the verb by a longjmp: they hold only plain data.
#include <cstring>

#include "engine/named_file.h"
#include "runtime/file_name.h"
#include "runtime/file_status.h"
#include "runtime/reporting.h"
#include "runtime/verb_frame.h"
#include "verbs/closed_file.h"
#include "verbs/entry_points.h"
#include "verbs/opening.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/seqfs.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::verbs {

namespace {

constexpr uint32_t kAttributeBlockSize = 2048;

int seq(uint16_t op, vmq_fcb* fcb, void* data = nullptr, uint32_t* length = nullptr,
        const void* aux = nullptr, uint8_t selector = 0) {
    return _vmqpSeqFS(op, engine_slot(fcb), data, length, const_cast<void*>(aux), selector);
}

bool has_linage(const vmq_file_description* description) {
    return (description->linage_flags & VMQ_LINAGE) != 0;
}

void start_next_page(vmq_fcb* fcb) {
    fcb->linage_lines = fcb->next_linage_lines;
    fcb->linage_footing = fcb->next_linage_footing;
    fcb->linage_bottom = fcb->next_linage_bottom;
    fcb->linage_top = fcb->next_linage_top;
    fcb->state_flags |= VMQ_END_OF_PAGE;
    fcb->linage_counter = 1;
}

// Moves the line counter on by `lines` within the page body.
void count_lines(vmq_fcb* fcb, uint32_t lines) {
    fcb->linage_counter += lines;
    if (fcb->linage_footing != 0 && fcb->linage_counter >= fcb->linage_footing)
        fcb->state_flags |= VMQ_END_OF_PAGE;
}

// Appends n blank records; the first failure ends it.
int write_blank_records(vmq_fcb* fcb, const vmq_file_description* description, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t length = description->min_record_length;
        const int result = seq(SQ_WRITE, fcb, fcb->work_buffer, &length);
        if (result != 0)
            return result;
    }
    return 0;
}

// The blank record in the FCB's work buffer, in the program's character set.
void prepare_blank_record(vmq_fcb* fcb, vmq_program_context* context,
                          const vmq_file_description* description) {
    if (fcb->work_buffer == nullptr)
        fcb->work_buffer =
            static_cast<unsigned char*>(_vmqMalloc(description->min_record_length + 4, 907, 0));
    const bool ebcdic = context != nullptr && context->runtime != nullptr &&
                        (context->runtime->charset_flags & VMQ_CHARSET_EBCDIC) != 0;
    std::memset(fcb->work_buffer, ebcdic ? 0x40 : 0x20, description->min_record_length);
}

// A record verb called without a record area: nothing is read or written.
void refuse_without_record_area(vmq_fcb* fcb, int* code) {
    fcb->status = 30;
    *code = runtime::kNoRecordArea;
}

}  // namespace

void sequential_open(vmq_fcb* fcb, vmq_program_context* context) {
    void* slot = take_engine_slot(fcb);
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_OPEN);
    const vmq_file_description* description = target.description;
    const uint16_t request = fcb->open_request;
    fcb->status = (request & VMQ_OPEN_REPORT_07) != 0 ? 7 : 0;

    char* name_copy = nullptr;
    const char* name = runtime::open_file_name(fcb, description, &name_copy);
    unsigned char block[kAttributeBlockSize] = {};
    ix_attributes attributes{};
    attributes.min_record_length = description->min_record_length;
    attributes.max_record_length = description->max_record_length;
    attributes.area_length = description->max_area_length;
    const bool variable = (description->record_flags & VMQ_RECORD_VARIABLE) != 0;
    attributes.options = variable ? IX_ATTR_VARIABLE : 0;
    ix_attributes_encode(block, &attributes);

    const bool input = (request & VMQ_OPEN_INPUT) != 0;
    const bool output = (request & VMQ_OPEN_OUTPUT) != 0;
    const bool writing = (request & (VMQ_OPEN_OUTPUT | VMQ_OPEN_EXTEND)) != 0;
    const uint8_t mode = static_cast<uint8_t>((input ? SQ_MODE_INPUT : SQ_MODE_APPEND) |
                                              (writing ? SQ_MODE_OUTPUT : 0));
    bool existed = engine::file_exists(name);

    int code = 0;
    bool stop = false;
    bool absent_input = false;
    auto fail = [&](int result) {
        code = result;
        fcb->status = runtime::open_status(result);
        stop = true;
    };
    if (!names_an_open_mode(request)) {
        // No mode a runtime asks for: nothing is opened or made.
        fcb->status = 30;
        code = runtime::kInvalidOpenMode;
        stop = true;
    } else if (slot == nullptr) {
        fail(SQ_NO_SPACE);
    }
    if (!stop && !existed) {
        const MissingFile missing = open_missing_file(fcb, description, _vmqBSeqClose, &code);
        absent_input = missing == MissingFile::kAbsentInput;
        stop = missing != MissingFile::kCreate;
        if (!stop) {
            const int created = seq(SQ_CREATE, fcb, block, nullptr, name);
            if (created != 0)
                fail(created);
        }
    }
    if (!stop) {
        int opened = seq(SQ_OPEN, fcb, nullptr, nullptr, name, mode);
        if (opened != 0 && existed && engine::is_empty_file(name)) {
            // Left empty by a run that died before it wrote the header:
            // OUTPUT makes it anew, the other modes say what it is.
            if (output) {
                existed = false;
                opened = seq(SQ_CREATE, fcb, block, nullptr, name);
                if (opened == 0)
                    opened = seq(SQ_OPEN, fcb, nullptr, nullptr, name, mode);
            } else {
                fcb->status = 30;
                code = runtime::kEmptyFile;
                stop = true;
            }
        }
        if (opened != 0 && !stop)
            fail(opened);
    }
    if (!stop && existed) {
        unsigned char file_block[kAttributeBlockSize] = {};
        seq(SQ_GET_ATTRIBUTES, fcb, file_block);
        ix_attributes file{};
        ix_attributes_decode(file_block, &file);
        if (file.key_count != 0)
            code = 1000;
        else if (file.max_record_length != description->max_record_length ||
                 ((file.options & IX_ATTR_VARIABLE) != 0) != variable)
            code = 1005;
        if (code != 0) {
            std::memcpy(block, file_block, kAttributeBlockSize);
            fcb->status = 39;
            seq(SQ_CLOSE, fcb);
            stop = true;
        } else if (output) {
            // OUTPUT empties the file down to its header.
            seq(SQ_CLOSE, fcb);
            int result = seq(SQ_CREATE, fcb, block, nullptr, name);
            if (result == 0)
                result = seq(SQ_OPEN, fcb, nullptr, nullptr, name, SQ_MODE_APPEND | SQ_MODE_OUTPUT);
            if (result != 0)
                fail(result);
        }
    }
    if (name_copy != nullptr)
        _vmqCheckFree(name_copy);

    if (!stop) {
        if (writing) {
            fcb->write_entry = _vmqBSeqWrite;
        } else {
            fcb->read_entry = _vmqBSeqRead;
            if ((request & VMQ_OPEN_IO) != 0)
                fcb->rewrite_entry = _vmqBSeqRewrite;
        }
        fcb->open_entry = _vmqOpenError;
        fcb->close_entry = _vmqBSeqClose;
        fcb->linage_counter = 1;
        fcb->advance_lines = 1;
        fcb->state_flags |= VMQ_POSITION_VALID;
        fcb->last_position_verb = VMQ_VERB_OPEN;
        fcb->open_mode = request;
        if (has_linage(description)) {
            fcb->next_linage_lines = fcb->linage_lines;
            fcb->next_linage_footing = fcb->linage_footing;
            fcb->next_linage_bottom = fcb->linage_bottom;
            fcb->next_linage_top = fcb->linage_top;
        }
    } else if (!absent_input) {
        // A failed OPEN leaves the file closed: nothing will close this slot.
        give_back_engine_slot(fcb);
    }
    runtime::report(target, code, block);
}

void sequential_close(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_CLOSE);
    const uint16_t options = fcb->close_options;
    int result = 0;
    bool keep_open = false;
    if ((options & VMQ_CLOSE_REPORT_07) != 0) {
        fcb->status = 7;
        keep_open = true;
    } else {
        const bool never_opened =
            (fcb->state_flags & VMQ_OPTIONAL_ABSENT) != 0 && (fcb->open_mode & VMQ_OPEN_INPUT) != 0;
        const bool release_only = (options & VMQ_CLOSE_RELEASE_ONLY) != 0;
        if (!never_opened)
            result =
                seq(SQ_CLOSE, fcb, nullptr, nullptr, nullptr, release_only ? SQ_CLOSE_GIVE_UP : 0);
        if ((options & VMQ_CLOSE_RELEASE_ONLY) == 0) {
            if (result == 0) {
                install_closed_vector(fcb, _vmqBSeqOpen, options);
                fcb->status = 0;
            } else {
                fcb->status = runtime::close_status(result);
            }
        }
        // A file whose buffered records could not be written stays open in
        // the engine: a second CLOSE can still write them. A release-only
        // CLOSE gives the file up.
        keep_open = result != 0 && !release_only;
    }
    if ((options & VMQ_CLOSE_RELEASE_ONLY) == 0)
        runtime::report(target, result, nullptr);
    if (!keep_open) {
        release_file_storage(fcb);
    }
}

void sequential_read(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_READ);
    const vmq_file_description* description = target.description;
    int result = 0;
    if ((fcb->state_flags & VMQ_POSITION_VALID) == 0) {
        fcb->status = 46;
        fcb->state_flags &= ~VMQ_RECORD_READ;
    } else if (fcb->record_area == nullptr) {
        refuse_without_record_area(fcb, &result);
        fcb->state_flags &= ~(VMQ_RECORD_READ | VMQ_POSITION_VALID);
    } else {
        // The first READ after OPEN starts at the first record, also when
        // a refused verb came between them.
        const bool first =
            fcb->last_verb == VMQ_VERB_OPEN || fcb->last_position_verb == VMQ_VERB_OPEN;
        uint32_t length = description->max_record_length;
        result = seq(first ? SQ_READ_FIRST : SQ_READ_NEXT, fcb, fcb->record_area, &length);
        fcb->last_position_verb = VMQ_VERB_READ;
        if (result == 0) {
            fcb->read_length = length;
            if (length < description->min_area_length || length > description->max_area_length)
                fcb->status = 4;
            fcb->state_flags |= VMQ_RECORD_READ | VMQ_POSITION_VALID;
        } else {
            if (result == SQ_END_OF_FILE) {
                fcb->status = 10;
                fcb->state_flags |= VMQ_AT_END;
            } else if (result == SQ_NOT_OPEN) {
                fcb->status = 47;
            } else if (result == SQ_LOCK_VIOLATION) {
                fcb->status = 99;
            } else {
                fcb->status = 30;
            }
            fcb->state_flags &= ~VMQ_RECORD_READ;
            if (result != SQ_LOCK_VIOLATION)
                fcb->state_flags &= ~VMQ_POSITION_VALID;
        }
    }
    runtime::report(target, result, nullptr);
    fcb->last_verb = VMQ_VERB_READ;
}

void sequential_rewrite(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_REWRITE);
    const vmq_file_description* description = target.description;
    int result = 0;
    const uint32_t length = fcb->write_length;
    if (fcb->record_area == nullptr) {
        refuse_without_record_area(fcb, &result);
    } else if (length < description->min_record_length || length > description->max_record_length ||
               length != fcb->read_length) {
        fcb->status = 44;
    } else if ((fcb->state_flags & VMQ_RECORD_READ) == 0) {
        fcb->status = 43;
    } else {
        uint32_t record_length = length;
        result = seq(SQ_REWRITE, fcb, fcb->record_area, &record_length);
        if (result != 0)
            fcb->status = result == SQ_NOT_OPEN ? 48 : 30;
    }
    runtime::report(target, result, nullptr);
}

void sequential_write(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_WRITE);
    const vmq_file_description* description = target.description;
    fcb->state_flags &= ~VMQ_END_OF_PAGE;
    int result = 0;
    const uint32_t length = fcb->write_length;
    if (fcb->record_area == nullptr) {
        refuse_without_record_area(fcb, &result);
    } else if (length < description->min_record_length || length > description->max_record_length) {
        fcb->status = 44;
    } else {
        const bool linage = has_linage(description);
        const uint8_t advance = fcb->advance_options;
        const bool before = (advance & VMQ_ADVANCE_BEFORE) != 0;
        const bool after = (advance & VMQ_ADVANCE_AFTER) != 0;
        const bool page = (advance & VMQ_ADVANCE_PAGE) != 0;
        if (linage || advance != 0)
            prepare_blank_record(fcb, context, description);
        if (fcb->last_verb == VMQ_VERB_OPEN)
            result = write_blank_records(fcb, description,
                                         linage ? fcb->linage_top + 1 : (before ? 1 : 0));

        bool written = false;
        if (after && result == 0) {
            uint32_t n = 0;
            uint32_t s = 0;
            if (page) {
                n = linage ? fcb->linage_lines - fcb->linage_counter : 0;
                s = n + 1;
            } else if (fcb->advance_lines > 0) {
                n = fcb->advance_lines - 1;
                s = fcb->advance_lines;
            } else {
                // Printing over the line just written.
                uint32_t record_length = length;
                result = seq(SQ_REPLACE_LAST, fcb, fcb->record_area, &record_length);
                written = true;
            }
            if (linage && result == 0) {
                if (fcb->linage_counter + s > fcb->linage_lines) {
                    n = fcb->linage_bottom + fcb->linage_lines + fcb->next_linage_top -
                        fcb->linage_counter;
                    start_next_page(fcb);
                } else {
                    count_lines(fcb, fcb->advance_lines);
                }
            }
            if (result == 0)
                result = write_blank_records(fcb, description, n);
        }
        if (before && result == 0 && !written) {
            // The record takes the place of the blank line that stands for
            // the current line.
            uint32_t record_length = length;
            result = seq(SQ_REPLACE_LAST, fcb, fcb->record_area, &record_length);
            written = true;
        }
        if (result == 0 && !written) {
            uint32_t record_length = length;
            result = seq(SQ_WRITE, fcb, fcb->record_area, &record_length);
        }
        if (before && result == 0) {
            uint32_t n = fcb->advance_lines;
            if (page)
                n = linage ? fcb->linage_lines - fcb->linage_counter + 1 : 1;
            if (linage) {
                if (fcb->linage_counter + n > fcb->linage_lines) {
                    n = fcb->linage_bottom + fcb->linage_lines + fcb->next_linage_top -
                        fcb->linage_counter + 1;
                    start_next_page(fcb);
                } else {
                    count_lines(fcb, fcb->advance_lines);
                }
            }
            result = write_blank_records(fcb, description, n);
        }
        if (linage && fcb->linage_footing != 0 && fcb->linage_counter > fcb->linage_footing)
            fcb->state_flags |= VMQ_END_OF_PAGE;
        // A full disk gives the runtime's callers 30, as every other
        // failure; the message says "No space".
        if (result != 0)
            fcb->status = result == SQ_NOT_OPEN ? 48 : 30;
    }
    runtime::report(target, result, nullptr);
    fcb->advance_lines = 1;
}

}  // namespace kvr::verbs

using kvr::runtime::run_verb_frame;

extern "C" {
void _vmqBSeqOpen(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, kvr::verbs::sequential_open);
}
void _vmqBSeqClose(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, kvr::verbs::sequential_close);
}
void _vmqBSeqRead(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, kvr::verbs::sequential_read);
}
void _vmqBSeqWrite(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, kvr::verbs::sequential_write);
}
void _vmqBSeqRewrite(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, kvr::verbs::sequential_rewrite);
}
}
