// The seam between the verbs of indexed and relative files and the engine
// that keeps such a file. The verbs reach an engine only through this
// interface, with typed requests and typed results; which engine serves a
// file is chosen by its name when it is opened (engine_for), and the FCB's
// engine slot keeps the choice for the file's other verbs.
//
// An engine keeps a relative file as an indexed file of one key, the
// relative record number (4 bytes in front of the program's record), and
// answers with the indexed engine's results (results.h), whatever it
// stores the records in: the verbs turn those into FILE STATUS values the
// same way for every engine.
//
// slot is the FCB's engine slot: its first word is the engine's handle of
// the open file (null before OPEN, and again after a CLOSE that gave the
// file up). A null slot is "file not open". Every call is made from inside
// the verb frame: an engine holds nothing across calls that a longjmp out
// of the verb could leak.
#ifndef KVR_ENGINE_KEYED_ENGINE_H
#define KVR_ENGINE_KEYED_ENGINE_H

#include <cstdint>

#include "engine/results.h"

namespace kvr::engine {

// How a read finds its record, along the key given by number.
enum class Find : uint8_t {
    kEqual,
    kGreater,
    kNotLess,
    kNotGreater,
    kLess,
    kFirst,
    kLast,
    kNext,
    kCurrent,  // the record the position stands on (after START)
    kPrevious,
};

// What an OPEN asks for.
struct OpenRequest {
    bool update = false;         // I-O, OUTPUT or EXTEND; else INPUT
    bool relative = false;       // a relative file
    bool sequential = false;     // WRITE keys must follow the current one
    bool extend = false;         // WRITE keys must follow the last one
    bool shared = false;         // share the file with other shared opens
    bool unfinished_ok = false;  // input only: open a file an update never closed, for
                                 // its attributes
};

// What a record call adds under LOCK MODE and for the file position.
struct RecordCall {
    bool hold = false;           // read: remember the record (shared: lock it)
    bool lock = false;           // the file is open I-O with record locking
    bool keep_position = false;  // write and delete: the position stays where it is
};

class KeyedEngine {
public:
    // Files by name.
    virtual bool exists(const char* name) const = 0;
    virtual bool is_empty(const char* name) const = 0;  // a file of no bytes at all
    virtual bool remove(const char* name) const = 0;
    // What an OPEN refused with `refused` can say beside the result's text
    // (who holds the file, why its journal is left alone), NUL-terminated in
    // text[0 .. size); empty when nothing.
    virtual void refusal_detail(const char* name, Result refused, char* text,
                                unsigned size) const = 0;

    // Opening and closing. create makes the file from an attribute block
    // (attributes.h) and leaves it closed.
    virtual Result create(void* slot, const char* name, const unsigned char* attributes,
                          uint32_t size) const = 0;
    virtual Result open(void* slot, const char* name, const OpenRequest& request) const = 0;
    // The open file's attribute block, into block[0 .. capacity).
    virtual Result attributes(void* slot, unsigned char* block, uint32_t capacity) const = 0;
    // give_up: the handle goes whatever happens. Otherwise a file that cannot
    // put away what it holds stays open (is_open) for a later close.
    virtual Result close(void* slot, bool give_up) const = 0;
    virtual bool is_open(const void* slot) const = 0;

    // Records. A read without a buffer only positions; *length is the
    // buffer's size in and the record's length out. key is the key area:
    // the key value in, the found record's key of that number out.
    virtual Result read(void* slot, Find find, const RecordCall& call, unsigned char* buffer,
                        uint32_t* length, unsigned char* key, uint8_t key_number) const = 0;
    // key receives the key of number key_number of the record written.
    virtual Result write(void* slot, const RecordCall& call, const unsigned char* record,
                         uint32_t length, unsigned char* key, uint8_t key_number) const = 0;
    // The record of the current position (or, read by key just before, the
    // one found) takes the new contents.
    virtual Result rewrite(void* slot, const RecordCall& call, const unsigned char* record,
                           uint32_t length, unsigned char* key, uint8_t key_number) const = 0;
    // Deletes the record of the current position.
    virtual Result erase(void* slot, const RecordCall& call, unsigned char* record,
                         uint32_t* length, unsigned char* key, uint8_t key_number) const = 0;

    // A REWRITE or DELETE by key: hold_position keeps the key of reference
    // and its position (and, for a shared file, the file, for the whole of
    // it), restore_position puts them back.
    virtual void hold_position(void* slot) const = 0;
    virtual void restore_position(void* slot) const = 0;

protected:
    ~KeyedEngine() = default;
};

// The engine of the KVR file format.
const KeyedEngine& file_engine();

// The engine that serves the file of that name.
const KeyedEngine& engine_for(const char* name);

}  // namespace kvr::engine

#endif
