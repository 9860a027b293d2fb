// _IO_Init, the library's export: the runtime calls it for a file; it
// stores the OPEN entry point of the file's organization in the FCB, and
// nothing else happens until OPEN. _IO_InitShared does the same with the
// OPEN entries that share indexed and relative files with other programs;
// _IO_LastDiagnostic hands a caller the last verb's report as values.
#include "vmqrmkvr/vmqrmkvr.h"

#include "runtime/reporting.h"
#include "verbs/entry_points.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace {

void init(vmq_fcb* fcb, vmq_verb_entry indexed_open, vmq_verb_entry relative_open) {
    if (fcb == nullptr)
        return;  // no FCB to fill: nothing a runtime could call
    const vmq_file_description* description = fcb->description;
    const uint8_t organization = description != nullptr ? description->organization : 0;
    if ((organization & VMQ_ORG_INDEXED) != 0)
        fcb->open_entry = indexed_open;
    else if ((organization & VMQ_ORG_SEQUENTIAL) != 0)
        fcb->open_entry = _vmqBSeqOpen;
    else if ((organization & VMQ_ORG_RELATIVE) != 0)
        fcb->open_entry = relative_open;
    else
        fcb->open_entry = _vmqOpenError;
}

}  // namespace

extern "C" void _IO_Init(vmq_fcb* fcb, vmq_program_context*) {
    init(fcb, _vmqBIndexOpen, _vmqBRelativeOpen);
}

extern "C" void _IO_InitShared(vmq_fcb* fcb, vmq_program_context*) {
    init(fcb, _vmqBIndexOpenShared, _vmqBRelativeOpenShared);
}

extern "C" int _IO_LastDiagnostic(const vmq_fcb* fcb, vmq_diagnostic* diagnostic) {
    if (diagnostic == nullptr)
        return 0;
    return kvr::runtime::last_diagnostic(fcb, diagnostic) ? 1 : 0;
}
