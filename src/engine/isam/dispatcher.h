// The indexed engine's one entry, typed: _vmqpIsam's opcodes and arguments
// (isam.h), with the result as an engine::Result. _vmqpIsam is this call,
// its result turned into the published integer.
#ifndef KVR_ENGINE_ISAM_DISPATCHER_H
#define KVR_ENGINE_ISAM_DISPATCHER_H

#include <cstdint>

#include "engine/results.h"

namespace kvr::isam {

engine::Result call(uint16_t op, void* handle_slot, void* data, uint32_t* length, void* aux,
                    uint8_t selector);

}  // namespace kvr::isam

#endif
