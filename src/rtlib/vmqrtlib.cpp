// The substitute COBOL runtime: per-thread storage with the verb's jump
// buffer, the USE procedure call, counted storage, and the error entries
// that stand in the verb vector for verbs a file's state forbids.
#include "vmqrmkvr/vmqrtlib.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {

thread_local vmq_thread_storage thread_block = [] {
    vmq_thread_storage block{};
    block.debug_word = &thread_block;  // any value the runtime chooses
    return block;
}();

// Every block from _vmqMalloc starts with this header; the caller's storage
// follows it, aligned as malloc aligns.
struct alignas(std::max_align_t) AllocationHeader {
    size_t size;
};

[[noreturn]] void abandon_through(void* jump_buffer) {
    std::longjmp(*static_cast<std::jmp_buf*>(jump_buffer), 1);
}

// Reports a verb that the file's state forbids, as the runtime does: the
// status into the FCB and the status item, at_end for 10, and the USE
// procedure for every status of 10 or more.
void report_forbidden_verb(vmq_fcb* fcb, vmq_program_context* context, uint8_t verb,
                           uint16_t status) {
    vmq_thread_storage* block = threadStorage();
    ++block->error_entry_calls;
    block->last_error_verb = verb;
    block->last_error_status = status;

    fcb->current_verb = verb;
    fcb->status = status;
    if (status == 10)
        fcb->state_flags |= VMQ_AT_END;
    if (const vmq_file_description* description = vmq_find_description(fcb, context)) {
        if (unsigned char* item =
                vmq_item_address(description->status_base, description->status_offset))
            vmq_store_status_digits(item, status, description->code_flags);
    }
    if (status >= 10)
        _vmqCallUseProc(fcb, 0, context);
}

bool optional_file_absent(const vmq_fcb* fcb) {
    return (fcb->state_flags & VMQ_OPTIONAL_ABSENT) != 0 && (fcb->open_mode & VMQ_OPEN_INPUT) != 0;
}

}  // namespace

extern "C" {

vmq_thread_storage* threadStorage(void) {
    return &thread_block;
}

int vmqDebugStartMsg(int, int, int, const char* codeset, void* word) {
    vmq_thread_storage* block = threadStorage();
    ++block->abandoned_verbs;
    block->last_abandon_codeset = codeset;
    block->last_abandon_word = word;
    std::fprintf(stderr, "vmqrtlib: verb abandoned (codeset %s)\n",
                 codeset != nullptr ? codeset : "?");
    return 0;
}

int _vmqCallUseProc(vmq_fcb* fcb, int, vmq_program_context* context) {
    ++threadStorage()->use_procedure_calls;
    if (context != nullptr && context->runtime != nullptr &&
        context->runtime->use_procedure != nullptr)
        context->runtime->use_procedure(fcb, context, context->runtime->use_data);
    return 0;
}

void* _vmqMalloc(size_t size, int, int) {
    vmq_thread_storage* block = threadStorage();
    bool fail = block->fail_allocation_at > 0 && --block->fail_allocation_at == 0;
    void* raw = fail ? nullptr : std::malloc(sizeof(AllocationHeader) + size);
    if (raw == nullptr) {
        if (block->jump_buffer != nullptr)
            abandon_through(block->jump_buffer);
        return nullptr;
    }
    auto* header = static_cast<AllocationHeader*>(raw);
    header->size = size;
    ++block->live_allocations;
    ++block->total_allocations;
    block->live_bytes += static_cast<long>(size);
    return header + 1;
}

void _vmqCheckFree(void* pointer) {
    if (pointer == nullptr)
        return;
    auto* header = static_cast<AllocationHeader*>(pointer) - 1;
    vmq_thread_storage* block = threadStorage();
    --block->live_allocations;
    block->live_bytes -= static_cast<long>(header->size);
    std::free(header);
}

void vmqrtAbandonVerb(void) {
    if (void* jump_buffer = threadStorage()->jump_buffer)
        abandon_through(jump_buffer);
}

void _vmqOpenError(vmq_fcb* fcb, vmq_program_context* context) {
    bool locked = fcb->open_mode == 0 && (fcb->last_close_options & VMQ_CLOSE_WITH_LOCK) != 0;
    report_forbidden_verb(fcb, context, VMQ_VERB_OPEN, locked ? 38 : 41);
}

void _vmqCloseError(vmq_fcb* fcb, vmq_program_context* context) {
    report_forbidden_verb(fcb, context, VMQ_VERB_CLOSE, 42);
}

void _vmqReadError(vmq_fcb* fcb, vmq_program_context* context) {
    uint16_t status = 47;
    if (optional_file_absent(fcb)) {
        const vmq_file_description* description = vmq_find_description(fcb, context);
        bool sequential =
            (fcb->verb_options & (VMQ_READ_NEXT | VMQ_READ_PREVIOUS)) != 0 ||
            (description != nullptr && ((description->access_flags & VMQ_ACCESS_SEQUENTIAL) != 0 ||
                                        (description->organization & VMQ_ORG_SEQUENTIAL) != 0));
        status = sequential ? 10 : 23;
    }
    report_forbidden_verb(fcb, context, VMQ_VERB_READ, status);
}

void _vmqStartError(vmq_fcb* fcb, vmq_program_context* context) {
    report_forbidden_verb(fcb, context, VMQ_VERB_START, optional_file_absent(fcb) ? 23 : 47);
}

void _vmqWriteError(vmq_fcb* fcb, vmq_program_context* context) {
    report_forbidden_verb(fcb, context, VMQ_VERB_WRITE, 48);
}

void _vmqRewriteError(vmq_fcb* fcb, vmq_program_context* context) {
    report_forbidden_verb(fcb, context, VMQ_VERB_REWRITE, 49);
}

void _vmqDeleteError(vmq_fcb* fcb, vmq_program_context* context) {
    report_forbidden_verb(fcb, context, VMQ_VERB_DELETE, 49);
}

}  // extern "C"
