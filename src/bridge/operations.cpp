#include "bridge/operations.h"

namespace kvr::bridge {

namespace {

constexpr Operation plain(unsigned code, Action action, const char* name) {
    return Operation{code, action, name};
}
constexpr Operation opening(unsigned code, const char* name, uint16_t request, unsigned char mode) {
    Operation operation = plain(code, Action::Open, name);
    operation.open_request = request;
    operation.open_mode = mode;
    return operation;
}
constexpr Operation closing(unsigned code, const char* name, CloseKind kind,
                            Naming naming = Naming::AsWritten) {
    Operation operation = plain(code, Action::Close, name);
    operation.close = kind;
    operation.naming = naming;
    return operation;
}
constexpr Operation reading(unsigned code, Action action, const char* name, LockPhrase lock,
                            Naming naming = Naming::AsWritten) {
    Operation operation = plain(code, action, name);
    operation.lock = lock;
    operation.naming = naming;
    return operation;
}
constexpr Operation starting(unsigned code, const char* name, Relation relation) {
    Operation operation = plain(code, Action::Start, name);
    operation.relation = relation;
    return operation;
}
constexpr Operation writing(unsigned code, const char* name, unsigned advancing,
                            Naming naming = Naming::AsWritten) {
    Operation operation = plain(code, Action::Write, name);
    operation.advancing = static_cast<uint8_t>(advancing);
    operation.naming = naming;
    return operation;
}

// The table below names these without their types: no two share a name.
using enum CloseKind;
using enum LockPhrase;
using enum Naming;
using enum Relation;

constexpr Operation kOperations[] = {
    opening(OP_OPEN_INPUT, "OPEN INPUT", VMQ_OPEN_INPUT, OPEN_INPUT),
    opening(OP_OPEN_INPUT_NOREWIND, "OPEN INPUT NO REWIND", VMQ_OPEN_INPUT, OPEN_INPUT),
    opening(OP_OPEN_INPUT_REVERSED, "OPEN INPUT REVERSED", VMQ_OPEN_INPUT, OPEN_INPUT),
    opening(OP_OPEN_OUTPUT, "OPEN OUTPUT", VMQ_OPEN_OUTPUT, OPEN_OUTPUT),
    opening(OP_OPEN_OUTPUT_NOREWIND, "OPEN OUTPUT NO REWIND", VMQ_OPEN_OUTPUT, OPEN_OUTPUT),
    opening(OP_OPEN_IO, "OPEN I-O", VMQ_OPEN_IO, OPEN_IO),
    opening(OP_OPEN_EXTEND, "OPEN EXTEND", VMQ_OPEN_EXTEND, OPEN_EXTEND),
    closing(OP_CLOSE, "CLOSE", Normal, InOptions),
    closing(OP_CLOSE_LOCK, "CLOSE WITH LOCK", WithLock),
    closing(OP_CLOSE_NO_REWIND, "CLOSE NO REWIND", NoRewind),
    closing(OP_CLOSE_NOREWIND, "CLOSE NO REWIND", NoRewind),
    closing(OP_CLOSE_REEL, "CLOSE REEL", ReelOrUnit),
    closing(OP_CLOSE_REMOVE, "CLOSE REEL FOR REMOVAL", ReelOrUnit),
    reading(OP_READ_SEQ, Action::ReadNext, "READ NEXT", None, NextUnlessSequential),
    reading(OP_READ_SEQ_NO_LOCK, Action::ReadNext, "READ NEXT", NoLock, NextUnlessSequential),
    reading(OP_READ_SEQ_LOCK, Action::ReadNext, "READ NEXT", Lock, NextUnlessSequential),
    reading(OP_READ_SEQ_KEPT_LOCK, Action::ReadNext, "READ NEXT", KeptLock, NextUnlessSequential),
    reading(OP_STEP_NEXT, Action::ReadNext, "READ NEXT", None),
    reading(OP_STEP_NEXT_NO_LOCK, Action::ReadNext, "READ NEXT", NoLock),
    reading(OP_STEP_NEXT_LOCK, Action::ReadNext, "READ NEXT", Lock),
    reading(OP_STEP_NEXT_KEPT_LOCK, Action::ReadNext, "READ NEXT", KeptLock),
    reading(OP_STEP_FIRST, Action::ReadFirst, "READ FIRST", None),
    reading(OP_STEP_FIRST_NO_LOCK, Action::ReadFirst, "READ FIRST", NoLock),
    reading(OP_STEP_FIRST_LOCK, Action::ReadFirst, "READ FIRST", Lock),
    reading(OP_STEP_FIRST_KEPT_LOCK, Action::ReadFirst, "READ FIRST", KeptLock),
    reading(OP_READ_PREV, Action::ReadPrevious, "READ PREVIOUS", None),
    reading(OP_READ_PREV_NO_LOCK, Action::ReadPrevious, "READ PREVIOUS", NoLock),
    reading(OP_READ_PREV_LOCK, Action::ReadPrevious, "READ PREVIOUS", Lock),
    reading(OP_READ_PREV_KEPT_LOCK, Action::ReadPrevious, "READ PREVIOUS", KeptLock),
    reading(OP_READ_RAN, Action::ReadRandom, "READ", None, KeyWhenIndexed),
    reading(OP_READ_RAN_NO_LOCK, Action::ReadRandom, "READ", NoLock, KeyWhenIndexed),
    reading(OP_READ_RAN_LOCK, Action::ReadRandom, "READ", Lock, KeyWhenIndexed),
    reading(OP_READ_RAN_KEPT_LOCK, Action::ReadRandom, "READ", KeptLock, KeyWhenIndexed),
    reading(OP_READ_DIR, Action::ReadRandom, "READ", None, KeyWhenIndexed),
    reading(OP_READ_DIR_NO_LOCK, Action::ReadRandom, "READ", NoLock, KeyWhenIndexed),
    reading(OP_READ_DIR_LOCK, Action::ReadRandom, "READ", Lock, KeyWhenIndexed),
    reading(OP_READ_DIR_KEPT_LOCK, Action::ReadRandom, "READ", KeptLock, KeyWhenIndexed),
    starting(OP_START_EQ, "START =", Equal),
    starting(OP_START_EQ_ANY, "START =", Equal),
    starting(OP_START_GT, "START >", Greater),
    starting(OP_START_GE, "START >=", NotLess),
    starting(OP_START_LT, "START <", Less),
    starting(OP_START_LE, "START <=", NotGreater),
    starting(OP_START_FI, "START FIRST", First),
    starting(OP_START_LA, "START LAST", Last),
    writing(OP_WRITE, "WRITE", 0, InOptions),
    writing(OP_WRITE_BEFORE, "WRITE BEFORE ADVANCING", VMQ_ADVANCE_BEFORE),
    writing(OP_WRITE_BEFORE_TAB, "WRITE BEFORE ADVANCING", VMQ_ADVANCE_BEFORE),
    writing(OP_WRITE_BEFORE_PAGE, "WRITE BEFORE ADVANCING", VMQ_ADVANCE_BEFORE | VMQ_ADVANCE_PAGE),
    writing(OP_WRITE_AFTER, "WRITE AFTER ADVANCING", VMQ_ADVANCE_AFTER),
    writing(OP_WRITE_AFTER_TAB, "WRITE AFTER ADVANCING", VMQ_ADVANCE_AFTER),
    writing(OP_WRITE_AFTER_PAGE, "WRITE AFTER ADVANCING", VMQ_ADVANCE_AFTER | VMQ_ADVANCE_PAGE),
    plain(OP_REWRITE, Action::Rewrite, "REWRITE"),
    plain(OP_DELETE, Action::Delete, "DELETE"),
    plain(OP_DELETE_FILE, Action::DeleteFile, "DELETE FILE"),
    plain(OP_UNLOCK, Action::Nothing, "UNLOCK"),
    plain(OP_UNLOCK_REC, Action::Nothing, "UNLOCK RECORD"),
    plain(OP_FLUSH, Action::Nothing, "FLUSH"),
    plain(OP_COMMIT, Action::Nothing, "COMMIT"),
    plain(OP_ROLLBACK, Action::Nothing, "ROLLBACK"),
};

}  // namespace

const Operation* find_operation(unsigned code) {
    for (const Operation& operation : kOperations)
        if (operation.code == code)
            return &operation;
    return nullptr;
}

}  // namespace kvr::bridge
