// _IO_Init: the library's one export. The runtime calls it for a file; it
// stores the OPEN entry point of the file's organization in the FCB, and
// nothing else happens until OPEN.
#include "vmqrmkvr/vmqrmkvr.h"

#include "verbs/entry_points.h"
#include "vmqrmkvr/vmqrtlib.h"

extern "C" void _IO_Init(vmq_fcb* fcb, vmq_program_context*) {
    if (fcb == nullptr)
        return;  // no FCB to fill: nothing a runtime could call
    const vmq_file_description* description = fcb->description;
    const uint8_t organization = description != nullptr ? description->organization : 0;
    if ((organization & VMQ_ORG_INDEXED) != 0)
        fcb->open_entry = _vmqBIndexOpen;
    else if ((organization & VMQ_ORG_SEQUENTIAL) != 0)
        fcb->open_entry = _vmqBSeqOpen;
    else if ((organization & VMQ_ORG_RELATIVE) != 0)
        fcb->open_entry = _vmqBRelativeOpen;
    else
        fcb->open_entry = _vmqOpenError;
}
