// Reading a sequential file's records by their length alone, for the kvr
// utility: checking a file or telling what it holds needs each record's
// length and framing, not its data, and a record may be gigabytes long.
#ifndef KVR_ENGINE_SEQFS_RECORD_LENGTH_H
#define KVR_ENGINE_SEQFS_RECORD_LENGTH_H

#include <cstdint>

namespace kvr::seqfs {

// Reads the next record of the file open in *handle_slot (the first one
// when from_first) as SQ_READ_NEXT and SQ_READ_FIRST do with an area of
// 0 bytes, and gives its length word in *record_length. Its data is passed
// over without being read wherever more than a block of it lies ahead; the
// framing is checked all the same. Results as for those reads.
int sq_read_length(void* handle_slot, bool from_first, uint32_t* record_length);

}  // namespace kvr::seqfs

#endif
