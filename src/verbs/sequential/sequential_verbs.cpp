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
#include "engine/seqfs/sequential_engine.h"
#include "runtime/file_name.h"
#include "runtime/file_status.h"
#include "runtime/reporting.h"
#include "runtime/verb_frame.h"
#include "verbs/closed_file.h"
#include "verbs/entry_points.h"
#include "verbs/opening.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::verbs {

namespace {

using runtime::Diagnostic;
using seqfs::Result;

constexpr uint32_t kAttributeBlockSize = 2048;

Result seq(uint16_t op, vmq_fcb* fcb, void* data = nullptr, uint32_t* length = nullptr,
           const void* aux = nullptr, uint8_t selector = 0) {
    return seqfs::call(op, engine_slot(fcb), data, length, const_cast<void*>(aux), selector);
}

// What a verb reports for a result of the sequential engine: the same
// number, named.
constexpr Diagnostic outcome(Result result) {
    return runtime::diagnostic_of(seqfs::code(result));
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
Result write_blank_records(vmq_fcb* fcb, const vmq_file_description* description, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t length = description->min_record_length;
        const Result result = seq(SQ_WRITE, fcb, fcb->work_buffer, &length);
        if (result != seqfs::kOk)
            return result;
    }
    return seqfs::kOk;
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
void refuse_without_record_area(vmq_fcb* fcb, Diagnostic* code) {
    fcb->status = 30;
    *code = Diagnostic::kNoRecordArea;
}

// One OPEN on its way. Plain data, as the verb frame wants.
struct Opening {
    vmq_fcb* fcb;
    const vmq_file_description* description;
    void* slot;
    const char* name;
    uint8_t mode;
    bool output;
    bool variable;
    bool existed;
    bool absent_input = false;
    Diagnostic code = Diagnostic::kNone;
    unsigned char block[kAttributeBlockSize] = {};
};

// Records a failed engine result; true when it failed, with the status set.
bool engine_failed(Opening& o, Result result) {
    if (result == seqfs::kOk)
        return false;
    o.code = outcome(result);
    o.fcb->status = runtime::open_status(o.code);
    return true;
}

// What is refused before the engine opens anything, and the missing file
// OPEN makes. True when the OPEN ends here.
bool refuse_or_make(Opening& o) {
    if (!names_an_open_mode(o.fcb->open_request)) {
        // No mode a runtime asks for: nothing is opened or made.
        o.fcb->status = 30;
        o.code = Diagnostic::kInvalidOpenMode;
        return true;
    }
    if (o.slot == nullptr)
        return engine_failed(o, seqfs::kNoSpace);
    if (o.existed)
        return false;
    const MissingFile missing = open_missing_file(o.fcb, o.description, _vmqBSeqClose, &o.code);
    o.absent_input = missing == MissingFile::kAbsentInput;
    if (missing != MissingFile::kCreate)
        return true;
    return engine_failed(o, seq(SQ_CREATE, o.fcb, o.block, nullptr, o.name));
}

// Opens the file in the engine. A file of no bytes (left by a run that died
// before it wrote the header) OUTPUT makes anew; the other modes say what
// it is. True when the OPEN ends here.
bool open_in_engine(Opening& o) {
    Result opened = seq(SQ_OPEN, o.fcb, nullptr, nullptr, o.name, o.mode);
    if (opened != seqfs::kOk && o.existed && engine::is_empty_file(o.name)) {
        if (!o.output) {
            o.fcb->status = 30;
            o.code = Diagnostic::kEmptyFile;
            return true;
        }
        o.existed = false;
        opened = seq(SQ_CREATE, o.fcb, o.block, nullptr, o.name);
        if (opened == seqfs::kOk)
            opened = seq(SQ_OPEN, o.fcb, nullptr, nullptr, o.name, o.mode);
    }
    return engine_failed(o, opened);
}

// An existing file must have the program's record length and type (39
// otherwise, with the file's attributes in the message); OUTPUT empties it
// down to its header. True when the OPEN ends here.
bool check_existing(Opening& o) {
    if (!o.existed)
        return false;
    unsigned char file_block[kAttributeBlockSize] = {};
    seq(SQ_GET_ATTRIBUTES, o.fcb, file_block);
    ix_attributes file{};
    ix_attributes_decode(file_block, &file);
    if (file.key_count != 0)
        o.code = Diagnostic::kNotSequential;
    else if (file.max_record_length != o.description->max_record_length ||
             ((file.options & IX_ATTR_VARIABLE) != 0) != o.variable)
        o.code = Diagnostic::kRecordLengthsDiffer;
    if (o.code != Diagnostic::kNone) {
        std::memcpy(o.block, file_block, kAttributeBlockSize);
        o.fcb->status = 39;
        seq(SQ_CLOSE, o.fcb);
        return true;
    }
    if (!o.output)
        return false;
    seq(SQ_CLOSE, o.fcb);
    Result result = seq(SQ_CREATE, o.fcb, o.block, nullptr, o.name);
    if (result == seqfs::kOk)
        result = seq(SQ_OPEN, o.fcb, nullptr, nullptr, o.name, SQ_MODE_APPEND | SQ_MODE_OUTPUT);
    return engine_failed(o, result);
}

void install_vector(vmq_fcb* fcb, const vmq_file_description* description) {
    const uint16_t request = fcb->open_request;
    if ((request & (VMQ_OPEN_OUTPUT | VMQ_OPEN_EXTEND)) != 0) {
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
}

void start_opening(Opening& o, vmq_fcb* fcb, const vmq_file_description* description, void* slot,
                   const char* name) {
    const uint16_t request = fcb->open_request;
    o.fcb = fcb;
    o.description = description;
    o.slot = slot;
    o.name = name;
    ix_attributes attributes{};
    attributes.min_record_length = description->min_record_length;
    attributes.max_record_length = description->max_record_length;
    attributes.area_length = description->max_area_length;
    o.variable = (description->record_flags & VMQ_RECORD_VARIABLE) != 0;
    attributes.options = o.variable ? IX_ATTR_VARIABLE : 0;
    ix_attributes_encode(o.block, &attributes);
    const bool input = (request & VMQ_OPEN_INPUT) != 0;
    const bool writing = (request & (VMQ_OPEN_OUTPUT | VMQ_OPEN_EXTEND)) != 0;
    o.output = (request & VMQ_OPEN_OUTPUT) != 0;
    o.mode = static_cast<uint8_t>((input ? SQ_MODE_INPUT : SQ_MODE_APPEND) |
                                  (writing ? SQ_MODE_OUTPUT : 0));
    o.existed = engine::file_exists(name);
}

// The status of a READ the engine refused, and what it leaves of the
// position.
void read_failed(vmq_fcb* fcb, Result result) {
    if (result == seqfs::kEndOfFile) {
        fcb->status = 10;
        fcb->state_flags |= VMQ_AT_END;
    } else if (result == seqfs::kNotOpen) {
        fcb->status = 47;
    } else if (result == seqfs::kLockViolation) {
        fcb->status = 99;
    } else {
        fcb->status = 30;
    }
    fcb->state_flags &= ~VMQ_RECORD_READ;
    if (result != seqfs::kLockViolation)
        fcb->state_flags &= ~VMQ_POSITION_VALID;
}

// The record itself, as a new record or over the last one.
Result write_record(vmq_fcb* fcb, uint16_t op) {
    uint32_t record_length = fcb->write_length;
    return seq(op, fcb, fcb->record_area, &record_length);
}

// Where the page is full the lines left on it, the bottom margin and the
// next page's top are written (extra: one more for BEFORE ADVANCING);
// otherwise the line counter moves on.
uint32_t lines_to_advance(vmq_fcb* fcb, uint32_t advance, uint32_t lines, uint32_t extra) {
    if (fcb->linage_counter + advance > fcb->linage_lines) {
        const uint32_t n = fcb->linage_bottom + fcb->linage_lines + fcb->next_linage_top -
                           fcb->linage_counter + extra;
        start_next_page(fcb);
        return n;
    }
    count_lines(fcb, fcb->advance_lines);
    return lines;
}

// WRITE AFTER ADVANCING: the lines before the record (or, with an advance
// of 0 lines, the record over the line just written: *written).
Result advance_before_record(vmq_fcb* fcb, const vmq_file_description* description, bool linage,
                             bool page, bool* written) {
    uint32_t n = 0;
    uint32_t advance = 0;
    Result result = seqfs::kOk;
    if (page) {
        n = linage ? fcb->linage_lines - fcb->linage_counter : 0;
        advance = n + 1;
    } else if (fcb->advance_lines > 0) {
        n = fcb->advance_lines - 1;
        advance = fcb->advance_lines;
    } else if (fcb->last_verb != VMQ_VERB_OPEN || linage) {
        // Printing over the line just written. Right after an OPEN without
        // a page no line is written yet, and the record starts the first.
        result = write_record(fcb, SQ_REPLACE_LAST);
        *written = true;
    }
    if (linage && result == seqfs::kOk)
        n = lines_to_advance(fcb, advance, n, 0);
    if (result == seqfs::kOk)
        result = write_blank_records(fcb, description, n);
    return result;
}

// WRITE BEFORE ADVANCING: the lines after the record.
Result advance_after_record(vmq_fcb* fcb, const vmq_file_description* description, bool linage,
                            bool page) {
    uint32_t n = fcb->advance_lines;
    if (page)
        n = linage ? fcb->linage_lines - fcb->linage_counter + 1 : 1;
    if (linage)
        n = lines_to_advance(fcb, n, n, 1);
    return write_blank_records(fcb, description, n);
}

// A WRITE of a record within the file's lengths, with its ADVANCING and the
// LINAGE page.
Result write_with_advancing(vmq_fcb* fcb, vmq_program_context* context,
                            const vmq_file_description* description) {
    const bool linage = has_linage(description);
    const uint8_t advance = fcb->advance_options;
    const bool before = (advance & VMQ_ADVANCE_BEFORE) != 0;
    const bool after = (advance & VMQ_ADVANCE_AFTER) != 0;
    const bool page = (advance & VMQ_ADVANCE_PAGE) != 0;
    if (linage || advance != 0)
        prepare_blank_record(fcb, context, description);
    Result result = seqfs::kOk;
    if (fcb->last_verb == VMQ_VERB_OPEN)
        result =
            write_blank_records(fcb, description, linage ? fcb->linage_top + 1 : (before ? 1 : 0));
    bool written = false;
    if (after && result == seqfs::kOk)
        result = advance_before_record(fcb, description, linage, page, &written);
    if (before && result == seqfs::kOk && !written) {
        // The record takes the place of the blank line that stands for
        // the current line.
        result = write_record(fcb, SQ_REPLACE_LAST);
        written = true;
    }
    if (result == seqfs::kOk && !written)
        result = write_record(fcb, SQ_WRITE);
    if (before && result == seqfs::kOk)
        result = advance_after_record(fcb, description, linage, page);
    if (linage && fcb->linage_footing != 0 && fcb->linage_counter > fcb->linage_footing)
        fcb->state_flags |= VMQ_END_OF_PAGE;
    return result;
}

}  // namespace

void sequential_open(vmq_fcb* fcb, vmq_program_context* context) {
    void* slot = take_engine_slot(fcb);
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_OPEN);
    const vmq_file_description* description = target.description;
    fcb->status = (fcb->open_request & VMQ_OPEN_REPORT_07) != 0 ? 7 : 0;
    char* name_copy = nullptr;
    const char* name = runtime::open_file_name(fcb, description, &name_copy);
    Opening o;
    start_opening(o, fcb, description, slot, name);
    const bool stop = refuse_or_make(o) || open_in_engine(o) || check_existing(o);
    if (name_copy != nullptr)
        _vmqCheckFree(name_copy);
    if (!stop) {
        install_vector(fcb, description);
    } else if (!o.absent_input) {
        // A failed OPEN leaves the file closed: nothing will close this slot.
        give_back_engine_slot(fcb);
    }
    runtime::report(target, o.code, o.block);
}

void sequential_close(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_CLOSE);
    const uint16_t options = fcb->close_options;
    Result result = seqfs::kOk;
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
            if (result == seqfs::kOk) {
                install_closed_vector(fcb, _vmqBSeqOpen, options);
                fcb->status = 0;
            } else {
                fcb->status = runtime::close_status(outcome(result));
            }
        }
        // A file whose buffered records could not be written stays open in
        // the engine: a second CLOSE can still write them. A release-only
        // CLOSE gives the file up.
        keep_open = result != seqfs::kOk && !release_only;
    }
    if ((options & VMQ_CLOSE_RELEASE_ONLY) == 0)
        runtime::report(target, outcome(result), nullptr);
    if (!keep_open) {
        release_file_storage(fcb);
    }
}

void sequential_read(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_READ);
    const vmq_file_description* description = target.description;
    Diagnostic code = Diagnostic::kNone;
    if ((fcb->state_flags & VMQ_POSITION_VALID) == 0) {
        fcb->status = 46;
        fcb->state_flags &= ~VMQ_RECORD_READ;
    } else if (fcb->record_area == nullptr) {
        refuse_without_record_area(fcb, &code);
        fcb->state_flags &= ~(VMQ_RECORD_READ | VMQ_POSITION_VALID);
    } else {
        // The first READ after OPEN starts at the first record, also when
        // a refused verb came between them.
        const bool first =
            fcb->last_verb == VMQ_VERB_OPEN || fcb->last_position_verb == VMQ_VERB_OPEN;
        uint32_t length = description->max_record_length;
        const Result result =
            seq(first ? SQ_READ_FIRST : SQ_READ_NEXT, fcb, fcb->record_area, &length);
        fcb->last_position_verb = VMQ_VERB_READ;
        code = outcome(result);
        if (result == seqfs::kOk) {
            fcb->read_length = length;
            if (length < description->min_area_length || length > description->max_area_length)
                fcb->status = 4;
            fcb->state_flags |= VMQ_RECORD_READ | VMQ_POSITION_VALID;
        } else {
            read_failed(fcb, result);
        }
    }
    runtime::report(target, code, nullptr);
    fcb->last_verb = VMQ_VERB_READ;
}

void sequential_rewrite(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_REWRITE);
    const vmq_file_description* description = target.description;
    Diagnostic code = Diagnostic::kNone;
    const uint32_t length = fcb->write_length;
    if (fcb->record_area == nullptr) {
        refuse_without_record_area(fcb, &code);
    } else if (length < description->min_record_length || length > description->max_record_length ||
               length != fcb->read_length) {
        fcb->status = 44;
    } else if ((fcb->state_flags & VMQ_RECORD_READ) == 0) {
        fcb->status = 43;
    } else {
        const Result result = write_record(fcb, SQ_REWRITE);
        code = outcome(result);
        if (result != seqfs::kOk)
            fcb->status = result == seqfs::kNotOpen ? 48 : 30;
    }
    runtime::report(target, code, nullptr);
}

void sequential_write(vmq_fcb* fcb, vmq_program_context* context) {
    runtime::VerbTarget target = runtime::begin_verb(fcb, context, VMQ_VERB_WRITE);
    const vmq_file_description* description = target.description;
    fcb->state_flags &= ~VMQ_END_OF_PAGE;
    Diagnostic code = Diagnostic::kNone;
    const uint32_t length = fcb->write_length;
    if (fcb->record_area == nullptr) {
        refuse_without_record_area(fcb, &code);
    } else if (length < description->min_record_length || length > description->max_record_length) {
        fcb->status = 44;
    } else {
        const Result result = write_with_advancing(fcb, context, description);
        code = outcome(result);
        // A full disk gives the runtime's callers 30, as every other
        // failure; the message says "No space".
        if (result != seqfs::kOk)
            fcb->status = result == seqfs::kNotOpen ? 48 : 30;
    }
    runtime::report(target, code, nullptr);
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
