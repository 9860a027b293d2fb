#include "verbs/scenarios.h"

namespace kvr::test {
namespace {

using enum Verb;

// Customers: number (6), name (10), city (6, duplicates).
const Layout kCustomers{Organization::kIndexed, 22, 22, {{0, 6}, {16, 6, true}}};
const Layout kUniqueCities{Organization::kIndexed, 22, 22, {{0, 6}, {16, 6}}};
// Customers by number (6), name (4, unique) and region (3, duplicates),
// read in key order.
const Layout kRegions{Organization::kIndexed, 30, 30, {{0, 6}, {6, 4}, {10, 3, true}}, true};
Layout customers_in_sequence() {
    Layout layout = kCustomers;
    layout.sequential_access = true;
    return layout;
}
const Layout kReport{Organization::kSequential, 8, 8, {}, true};
const Layout kNumbers{Organization::kRelative, 8, 8};
Layout numbers_in_sequence() {
    Layout layout = kNumbers;
    layout.sequential_access = true;
    return layout;
}

}  // namespace

const std::vector<Scenario>& verb_scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"IndexedKeyedVerbs",
         {kCustomers, customers_in_sequence()},
         {
             {kOpenOutput, "", k00},
             {kWrite, "100300CLARA     OSLO  ", k00},
             {kWrite, "100100ANNA      BERGEN", k00},
             {kWrite, "100200BJORN     OSLO  ", k02},
             {kWrite, "100400DAVID     TROMSO", k00},
             {kWrite, "100500EVA       OSLO  ", k02},
             {kWrite, "100200AGAIN     OSLO  ", k22},
             {kClose, "", k00},
             {kOpenIo, "", k00},
             {kRead, "100200", k00, "100200BJORN     OSLO"},
             {kRead, "100999", k23},
             {kReadNext, "", k46},
             {kRead, "OSLO", k02, "100300CLARA     OSLO", 1},
             {kReadNext, "", k02, "100200BJORN     OSLO"},
             {kReadNext, "", k00, "100500EVA       OSLO"},
             {kReadNext, "", k00, "100400DAVID     TROMSO"},
             {kStartEqual, "100", k00, "", 0, 3},
             {kReadNext, "", k00, "100100ANNA      BERGEN"},
             {kStartGreater, "1001", k00, "", 0, 4},
             {kReadNext, "", k00, "100200BJORN     OSLO"},
             {kStartGreater, "100300", k00},
             {kReadNext, "", k00, "100400DAVID     TROMSO"},
             {kStartNotLess, "100300", k00},
             {kReadNext, "", k00, "100300CLARA     OSLO"},
             {kStartLess, "100300", k00},
             {kReadNext, "", k00, "100200BJORN     OSLO"},
             {kStartNotGreater, "100350", k00},
             {kReadPrevious, "", k00, "100300CLARA     OSLO"},
             {kReadPrevious, "", k00, "100200BJORN     OSLO"},
             {kStartEqual, "999", k23, "", 0, 3},
             {kStartGreater, "TROMSO", k23, "", 1},
             {kStartNotLess, "N", k00, "", 1},
             {kReadNext, "", k02, "100300CLARA     OSLO"},
             {kRewrite, "100400DAVID D   BERGEN", k02},
             {kRewrite, "100777NOBODY    OSLO  ", k23},
             {kDelete, "100500", k00},
             {kDelete, "100500", k23},
             {kWrite, "100050ZOE       BERGEN", k02},
             // A key of reference the file does not have.
             {kRead, "100100", k20, "", 2},
             {kStartNotLess, "1", k20, "", 2, 1},
             {kClose, "", k00},
             use(1),
             {kOpenInput, "", k00},
             {kRead, "", k00, "100050ZOE       BERGEN"},
             {kRead, "", k00, "100100ANNA      BERGEN"},
             {kRead, "", k00, "100200BJORN     OSLO"},
             {kRead, "", k00, "100300CLARA     OSLO"},
             {kRead, "", k00, "100400DAVID D   BERGEN"},
             {kRead, "", k10},
             {kRead, "", k46},
             {kStartEqual, "BERGEN", k00, "", 1},
             {kRead, "", k02, "100100ANNA      BERGEN"},
             {kRead, "", k02, "100400DAVID D   BERGEN"},
             {kRead, "", k00, "100050ZOE       BERGEN"},
             {kRead, "", k02, "100300CLARA     OSLO"},
             {kRead, "", k00, "100200BJORN     OSLO"},
             {kRead, "", k10},
             {kClose, "", k00},
             {kOpenOutput, "", k00},
             {kWrite, "200100A         X     ", k00},
             {kWrite, "200050B         X     ", k21},
             {kClose, "", k00},
         }},
        // Sequential access: keys in order, unique keys unique, the record
        // length kept; REWRITE and DELETE only of the record just read.
        {"IndexedSequentialUpdates",
         {kRegions},
         {
             {kOpenOutput, "", k00},
             {kWrite, "000010ANNABOS", k00},
             {kWrite, "000005BERTNYC", k21},
             {kWrite, "000010CARLBOS", k22},
             {kWrite, "000020ANNANYC", k22},
             {kWrite, "000020DORABOS", k02},
             {kClose, "", k00},
             {kOpenIo, "", k00},
             {kRewrite, "000010ANNABOS", k43},
             {kRead, "", k00, "000010ANNABOS"},
             {kRewrite, "000010ANNAxxxchanged", k00},
             {kRead, "", k00, "000020DORABOS"},
             {kDelete, "", k00},
             {kDelete, "", k43},
             {kRead, "", k10},
             {kClose, "", k00},
         }},
        // OUTPUT makes the file anew with the program's rule for duplicates,
        // whatever rule the file had.
        {"OutputTakesTheProgramsDuplicatesRule",
         {kUniqueCities, kCustomers},
         {
             {kOpenOutput, "", k00},
             {kWrite, "100300CLARA     OSLO  ", k00},
             {kWrite, "100200BJORN     OSLO  ", k22},
             {kClose, "", k00},
             use(1),
             {kOpenOutput, "", k00},
             {kWrite, "100300CLARA     OSLO  ", k00},
             {kWrite, "100200BJORN     OSLO  ", k02},
             {kClose, "", k00},
         }},
        // Sequential access numbers the records it writes; EXTEND goes on
        // from the last number, whatever the program's RELATIVE KEY held.
        {"RelativeNumbering",
         {numbers_in_sequence()},
         {
             {kOpenOutput, "", k00},
             {kClose, "", k00},
             {kOpenExtend, "", k00, "", 77},
             {kWrite, "RECORD.1", k00},
             {kWrite, "RECORD.2", k00},
             {kClose, "", k00},
             {kOpenExtend, "", k00, "", 77},
             {kWrite, "RECORD.3", k00},
             {kClose, "", k00},
             {kOpenInput, "", k00},
             {kRead, "", k00, "1:RECORD.1"},
             {kRead, "", k00, "2:RECORD.2"},
             {kRead, "", k00, "3:RECORD.3"},
             {kRead, "", k10},
             {kClose, "", k00},
         }},
        // Random access by number: START lands on the next record there
        // is; deleting another record leaves the position. No record 0.
        {"RelativeRandomAccess",
         {kNumbers},
         {
             {kOpenOutput, "", k00},
             {kWrite, "REC00001", k00, "", 1},
             {kWrite, "REC00002", k00, "", 2},
             {kWrite, "REC00004", k00, "", 4},
             {kWrite, "REC00005", k00, "", 5},
             {kWrite, "REC00005", k22, "", 5},
             {kClose, "", k00},
             {kOpenIo, "", k00},
             {kStartNotLess, "", k00, "", 3},
             {kReadNext, "", k00, "4:REC00004"},
             {kDelete, "", k00, "", 2},
             {kReadNext, "", k00, "5:REC00005"},
             {kRead, "", k23, "", 2},
             {kRewrite, "REC0001x", k00, "", 1},
             {kRead, "", k00, "1:REC0001x"},
             {kRewrite, "REC00003", k23, "", 3},
             {kDelete, "", k23, "", 2},
             {kStartGreater, "", k23, "", 5},
             {kStartLess, "", k00, "", 5},
             {kStartEqual, "", k00, "", 4},
             {kWrite, "REC00000", k24, "", 0},
             {kRewrite, "REC00000", k23},
             {kDelete, "", k23},
             {kStartEqual, "", k23},
             {kClose, "", k00},
         }},
        // READ starts at the first record whatever the mode; REWRITE
        // replaces the record just read; EXTEND appends.
        {"SequentialVerbs",
         {kReport},
         {
             {kOpenOutput, "", k00},
             {kWrite, "FIRST...", k00},
             {kWrite, "SECOND..", k00},
             {kClose, "", k00},
             {kOpenExtend, "", k00},
             {kWrite, "THIRD...", k00},
             {kClose, "", k00},
             {kOpenIo, "", k00},
             {kRead, "", k00, "FIRST..."},
             {kRead, "", k00, "SECOND.."},
             {kRewrite, "CHANGED.", k00},
             {kRead, "", k00, "THIRD..."},
             {kRead, "", k10},
             {kRead, "", k46},
             {kClose, "", k00},
             {kOpenInput, "", k00},
             {kRead, "", k00, "FIRST..."},
             {kRead, "", k00, "CHANGED."},
             {kClose, "", k00},
         }},
    };
    return scenarios;
}

}  // namespace kvr::test
