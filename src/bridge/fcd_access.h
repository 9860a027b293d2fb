// Reading and writing the fields of GnuCOBOL's file control description
// (FCD3). Its numbers are big-endian of 2, 4 or 8 bytes; its pointers are
// native. The operation code is two bytes: 0xFA and the verb, or 0x00 and an
// extended operation.
#ifndef KVR_BRIDGE_FCD_ACCESS_H
#define KVR_BRIDGE_FCD_ACCESS_H

#include <cstddef>
#include <cstdint>

#include <libcob.h>

namespace kvr::bridge {

inline uint32_t get_u16(const unsigned char* field) {
    return static_cast<uint32_t>(field[0]) << 8 | field[1];
}
inline uint32_t get_u32(const unsigned char* field) {
    return static_cast<uint32_t>(field[0]) << 24 | static_cast<uint32_t>(field[1]) << 16 |
           static_cast<uint32_t>(field[2]) << 8 | field[3];
}
inline void put_u16(unsigned char* field, uint32_t value) {
    field[0] = static_cast<unsigned char>(value >> 8);
    field[1] = static_cast<unsigned char>(value);
}
inline void put_u32(unsigned char* field, uint32_t value) {
    field[0] = static_cast<unsigned char>(value >> 24);
    field[1] = static_cast<unsigned char>(value >> 16);
    field[2] = static_cast<unsigned char>(value >> 8);
    field[3] = static_cast<unsigned char>(value);
}

// The relative record number: the FCD keeps 8 bytes; the low 4 carry it.
// A number that needs the high 4 cannot name a record of this system.
inline bool relative_key_fits(const FCD3* fcd) {
    return fcd->relKey[0] == 0 && fcd->relKey[1] == 0 && fcd->relKey[2] == 0 && fcd->relKey[3] == 0;
}
inline uint32_t relative_key(const FCD3* fcd) {
    return get_u32(fcd->relKey + 4);
}
inline void set_relative_key(FCD3* fcd, uint32_t number) {
    put_u32(fcd->relKey, 0);
    put_u32(fcd->relKey + 4, number);
}

inline void set_status(FCD3* fcd, char first, char second) {
    fcd->fileStatus[0] = static_cast<unsigned char>(first);
    fcd->fileStatus[1] = static_cast<unsigned char>(second);
}
inline void set_status(FCD3* fcd, unsigned status) {
    set_status(fcd, static_cast<char>('0' + status / 10 % 10),
               static_cast<char>('0' + status % 10));
}

inline unsigned operation_code(const unsigned char* opcode) {
    return static_cast<unsigned>(opcode[0]) << 8 | opcode[1];
}

}  // namespace kvr::bridge

#endif
