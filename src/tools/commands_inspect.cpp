// kvr info, check and dump: they read a file and never change it.
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "engine/change_journal.h"
#include "engine/file_header.h"
#include "engine/isam/file_checker.h"
#include "engine/isam/store_walk.h"
#include "engine/results.h"
#include "engine/tree/checker.h"
#include "engine/tree/tree_header.h"
#include "tools/commands.h"
#include "tools/kvr_file.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace kvr::tools {

namespace {

std::string bytes_text(uint64_t n) {
    return count_text(n, "byte");
}

// What lies under the journal's name beside FILE, when the library leaves
// it alone (a user's own file, a damaged journal, one it may not trust);
// empty otherwise.
std::string journal_note(const std::string& path) {
    const std::string why = engine::ChangeJournal::problem(path.c_str());
    return why.empty() ? why : path + ".kvrj is left alone: " + why;
}

// Opens FILE for reading as the inspection open does, or says why not.
// Returns 0, or the exit status to give up with.
int open_indexed(const std::string& path, const Streams& io, bool skip_trees, IndexedFile* file) {
    const int result = file->open_for_inspection(path, skip_trees);
    if (result == IX_OK)
        return kExitOk;
    std::string problem;
    if (result == IX_NOT_INDEXED_FILE)
        problem = isam::ix_header_problem(path.c_str());
    io.error(path, problem.empty() ? io.engine_text(result) : problem);
    return kExitFailed;
}

// What keeps the trees of a file from opening, in words, after "cannot be
// opened: ": the first key whose root page runs past the file's end (a file
// cut short), or else the engine's result. The file is open without its
// trees.
std::string trees_problem(const std::string& path, const IndexedFile& file, int result,
                          const Streams& io) {
    std::error_code error;
    const uint64_t end = std::filesystem::file_size(path, error);
    const engine::FileHeader header = file.handle()->header();
    const int keys = static_cast<int>(file.attributes().keys.size());
    for (int k = 0; k < keys && !error; ++k) {
        const tree::TreeHeader tree(file.handle()->image.get() + header.tree_at(k));
        if (tree.root() != 0 && uint64_t{tree.root()} + tree.page_size() > end)
            return "key " + std::to_string(k) + ": its root page at " +
                   std::to_string(tree.root()) + " runs past the file's end at " +
                   std::to_string(end);
    }
    return io.engine_text(result);
}

// Opens an indexed or relative file for info and check: also one an update
// session never closed, and one whose trees cannot be opened (then without
// them, that problem in *trees_problem_text); 0 then. A header that is
// damaged is said on the output, as a finding of the file: 1. Otherwise the
// reason is given: 2.
int open_to_inspect(const std::string& path, const Streams& io, IndexedFile* file,
                    std::string* trees_problem_text) {
    const int result = file->open_for_inspection(path, false);
    if (result == IX_OK)
        return kExitOk;
    if (result == IX_NOT_INDEXED_FILE) {
        const std::string problem = isam::ix_header_problem(path.c_str());
        if (problem.empty() || problem.find("mark") != std::string::npos) {
            io.error(path, problem.empty() ? io.engine_text(result) : problem);
            return kExitFailed;
        }
        // A header that cannot be read leaves nothing to show but the damage.
        std::fprintf(io.out, "%s: header: %s\n", path.c_str(), problem.c_str());
        return kExitDamaged;
    }
    // A tree that cannot even be opened; the rest may still be readable.
    if (result == IX_IO_ERROR && file->open_for_inspection(path, true) == IX_OK) {
        *trees_problem_text = trees_problem(path, *file, result, io);
        return kExitOk;
    }
    io.error(path, io.engine_text(result));
    return kExitFailed;
}

// Reads a sequential file to its end: the records, or the first one that
// cannot be read. visit returns false to stop.
template <typename Visit>
int scan_sequential(SequentialFile& file, uint64_t* count, Visit visit) {
    std::vector<unsigned char> record;
    for (;;) {
        const int result = file.read_next(&record);
        if (result == SQ_END_OF_FILE)
            return 0;
        if (result != 0)
            return result;
        ++*count;
        if (!visit(record))
            return 0;
    }
}

int info_sequential(const std::string& path, const Streams& io) {
    SequentialFile file;
    if (!open_sequential_input(path, io, &file))
        return kExitFailed;
    const FileAttributes& a = file.attributes();
    uint64_t count = 0;
    uint64_t bytes = 0;
    uint32_t shortest = UINT32_MAX;
    uint32_t longest = 0;
    // The records' lengths alone: their data is never read, so a file of
    // records gigabytes long is told as quickly as one of short ones.
    int result = 0;
    for (uint32_t length = 0; (result = file.read_length(&length)) == 0; ++count) {
        bytes += length;
        shortest = std::min(shortest, length);
        longest = std::max(longest, length);
    }
    if (result == SQ_END_OF_FILE)
        result = 0;
    std::FILE* out = io.out;
    std::fprintf(out, "library         vmqrmkvr %s\n", VMQRMKVR_VERSION);
    std::fprintf(out, "file            %s\n", path.c_str());
    std::fprintf(out, "organization    sequential\n");
    std::fprintf(out, "records         %s\n", a.lengths_text().c_str());
    std::fprintf(out, "record count    %" PRIu64 "\n", count);
    if (count > 0)
        std::fprintf(out, "record lengths  %u to %u bytes, %s of data\n", shortest, longest,
                     bytes_text(bytes).c_str());
    if (result != 0) {
        io.error(path, "record " + std::to_string(count + 1) + ": " + io.sequential_text(result));
        return kExitDamaged;
    }
    return kExitOk;
}

// The lines info begins with: what the file is, its records and its keys.
void print_identity(const std::string& path, const IndexedFile& file, std::FILE* out) {
    const FileAttributes& a = file.attributes();
    std::fprintf(out, "library         vmqrmkvr %s\n", VMQRMKVR_VERSION);
    std::fprintf(out, "file            %s\n", path.c_str());
    std::fprintf(out, "organization    %s, %s format (version %x)\n",
                 organization_name(a.organization), a.block_format ? "block" : "slot", a.version);
    // A relative file's lengths are the program's; the record number the
    // engine keeps in front of each record is its RELATIVE KEY.
    std::fprintf(out, "records         %s\n", a.lengths_text().c_str());
    std::fprintf(out, "record count    %u\n", a.record_count);
    if (file.unfinished())
        std::fprintf(out, "state           an update never finished: run kvr rebuild\n");
    if (const std::string journal = journal_note(path); !journal.empty())
        std::fprintf(out, "journal         %s\n", journal.c_str());
    std::fprintf(out, "keys\n");
    if (a.organization == Organization::kRelative)
        std::fprintf(out,
                     "  0   relative   the record number (RELATIVE KEY), kept in %u bytes "
                     "in front of each record\n",
                     kRecordNumberSize);
    for (size_t i = 0; i < a.keys.size() && a.organization != Organization::kRelative; ++i) {
        const KeySpec& key = a.keys[i];
        std::fprintf(out, "  %-3zu %-9s  position %d, length %d, %s, %s\n", i,
                     i == 0 ? "prime" : "alternate", key.offset + 1, key.length,
                     key.duplicates ? "duplicates" : "unique",
                     key.type == IX_KEY_TYPE_NUMBER ? "number" : "bytes");
    }
}

// How a file's space divides and how full its trees are, as info measures
// them: the data store walked, every open tree counted.
struct Measures {
    isam::StoreSpace space;
    std::vector<isam::WalkNote> notes;
    int walked = IX_OK;
    uint64_t tree_pages = 0;
    std::vector<tree::TreeSummary> summaries;
    std::vector<std::string> tree_notes;  // where counting a tree stopped

    bool trees_stopped() const {
        return std::any_of(tree_notes.begin(), tree_notes.end(),
                           [](const std::string& n) { return !n.empty(); });
    }
};

Measures measure(const IndexedFile& file, const Streams& io) {
    Measures m;
    const size_t keys = file.attributes().keys.size();
    Progress progress(io.err, "measuring", 1);
    m.walked = engine::code(isam::walk_data_store(
        file.handle(), [](uint32_t, const unsigned char*, uint32_t) { return true; }, &m.notes,
        &m.space));
    progress.done();
    m.summaries.resize(keys);
    m.tree_notes.resize(keys);
    for (size_t i = 0; i < keys && i < static_cast<size_t>(file.handle()->open_trees); ++i) {
        tree::TreeProblem problem;
        if (!tree::count_entries(file.handle()->tree(static_cast<int>(i)), &m.summaries[i],
                                 &problem))
            m.tree_notes[i] = tree::describe(problem);
        m.tree_pages += m.summaries[i].pages;
    }
    return m;
}

void print_space(const IndexedFile& file, const Measures& m, bool trees_open, std::FILE* out) {
    const FileAttributes& a = file.attributes();
    const engine::FileHeader header = file.handle()->header();
    const isam::StoreSpace& space = m.space;
    std::fprintf(out, "file size       %s\n", bytes_text(space.file_size).c_str());
    std::fprintf(out, "  header          %s\n", bytes_text(space.header_bytes).c_str());
    const uint64_t block = a.block_format ? header.sequence_set_size() : header.index_block_size();
    if (trees_open)
        std::fprintf(out,
                     "  index pages     %s (%" PRIu64 " in the trees, %" PRIu64
                     " free, blocks of %" PRIu64 ")\n",
                     bytes_text(space.index_bytes).c_str(), m.tree_pages,
                     space.index_blocks > m.tree_pages ? space.index_blocks - m.tree_pages : 0,
                     block);
    else
        std::fprintf(out, "  index pages     %s (blocks of %" PRIu64 ")\n",
                     bytes_text(space.index_bytes).c_str(), block);
    if (a.block_format) {
        std::fprintf(out, "  sequence sets   %s (%s of %u bytes)\n",
                     bytes_text(space.set_bytes).c_str(),
                     count_text(space.sequence_sets, "set").c_str(), header.sequence_set_size());
        std::fprintf(out, "    records       %s (%s)\n", bytes_text(space.record_bytes).c_str(),
                     count_text(space.records, "record").c_str());
        std::fprintf(out, "  free blocks     %s (%s)\n", bytes_text(space.free_block_bytes).c_str(),
                     count_text(space.free_blocks, "block").c_str());
    } else {
        std::fprintf(out, "  live records    %s (%s)\n", bytes_text(space.record_bytes).c_str(),
                     count_text(space.records, "record").c_str());
        std::fprintf(out, "  free slots      %s (%s)\n", bytes_text(space.free_slot_bytes).c_str(),
                     count_text(space.free_slots, "slot").c_str());
    }
    if (space.unwritten_bytes != 0)
        std::fprintf(out, "  never written   %s\n", bytes_text(space.unwritten_bytes).c_str());
    if (space.unreadable_bytes != 0)
        std::fprintf(out, "  unreadable      %s\n", bytes_text(space.unreadable_bytes).c_str());
}

void print_trees(const IndexedFile& file, const Measures& m, const std::string& trees_not_open,
                 std::FILE* out) {
    if (!trees_not_open.empty()) {
        std::fprintf(out, "trees           cannot be opened: %s\n", trees_not_open.c_str());
        return;
    }
    std::fprintf(out, "trees\n");
    for (size_t i = 0; i < m.summaries.size(); ++i) {
        const tree::TreeSummary& s = m.summaries[i];
        const int k = static_cast<int>(i);
        std::string fill;
        if (!s.pages_per_level.empty() && k < file.handle()->open_trees) {
            const uint64_t leaves = s.pages_per_level.back();
            const uint64_t room =
                leaves * static_cast<uint64_t>(file.handle()->tree(k)->leaf_max());
            if (room != 0)
                fill = ", leaves " + std::to_string((s.entries * 100 + room / 2) / room) + "% full";
        }
        std::fprintf(out, "  key %-3zu height %d, %" PRIu64 " page%s, %" PRIu64 " entries%s\n", i,
                     s.height, s.pages, s.pages == 1 ? "" : "s", s.entries, fill.c_str());
        if (!m.tree_notes[i].empty())
            std::fprintf(out, "          counting stopped: %s\n", m.tree_notes[i].c_str());
    }
}

// How many damaged records check tells of a sequential file before it
// stops reading.
constexpr size_t kMostProblemsTold = 1000;

// kvr check of a sequential file, by the records' lengths alone, as info
// reads them. A record too long for the header does not end the file: the
// records after it are still read.
int check_sequential(const std::string& path, const Streams& io) {
    SequentialFile file;
    if (!open_sequential_input(path, io, &file))
        return kExitFailed;
    const FileAttributes& a = file.attributes();
    uint64_t count = 0;
    std::vector<std::string> problems;
    int result = 0;
    for (uint32_t length = 0; problems.size() < kMostProblemsTold; ++count) {
        result = file.read_length(&length);
        if (result == kSequentialRecordTooLong)
            problems.push_back("record " + std::to_string(count + 1) + ": " +
                               io.sequential_text(result));
        else if (result != 0)
            break;
        else if (length < a.min_length)
            problems.push_back("record " + std::to_string(count + 1) + " is " +
                               std::to_string(length) + " bytes long, outside " +
                               std::to_string(a.min_length) + " to " +
                               std::to_string(a.max_length));
    }
    if (result != 0 && result != SQ_END_OF_FILE && result != kSequentialRecordTooLong)
        problems.push_back("record " + std::to_string(count + 1) + ": " +
                           io.sequential_text(result));
    for (const std::string& problem : problems)
        std::fprintf(io.out, "%s: %s\n", path.c_str(), problem.c_str());
    if (!problems.empty())
        return kExitDamaged;
    std::fprintf(io.out, "%s: sound, sequential, %s\n", path.c_str(),
                 count_text(count, "record").c_str());
    return kExitOk;
}

// Every tree checked; false when one is not sound or not open.
bool check_trees(ix_handle* handle, size_t keys, Progress& progress,
                 std::vector<std::string>* problems) {
    bool trees_sound = handle->open_trees == static_cast<int>(keys);
    for (int k = 0; k < handle->open_trees; ++k) {
        tree::TreeProblem problem;
        if (!tree::check_tree(handle->tree(k), &problem)) {
            problems->push_back("key " + std::to_string(k) + ": " + tree::describe(problem));
            trees_sound = false;
        }
        progress.update(static_cast<uint64_t>(k) + 1);
    }
    return trees_sound;
}

// The data store against sound trees, or by itself when the trees are not:
// the file checker needs sound trees, but the store can still be walked and
// where it is damaged said too.
void check_store(ix_handle* handle, bool trees_sound, const Streams& io,
                 std::vector<std::string>* problems, isam::FileSummary* summary) {
    if (trees_sound) {
        isam::FileProblem problem;
        if (!isam::check_file(handle, &problem, summary))
            problems->push_back(isam::describe(problem));
        else if (summary->orphan_records != 0)
            problems->push_back(count_text(summary->orphan_records, "record") +
                                " in the data store that no prime entry names: lost to the "
                                "indexes (kvr rebuild recovers them)");
        return;
    }
    std::vector<isam::WalkNote> notes;
    const int walked = engine::code(isam::walk_data_store(
        handle, [](uint32_t, const unsigned char*, uint32_t) { return true; }, &notes, nullptr));
    for (const isam::WalkNote& note : notes)
        problems->push_back("offset " + std::to_string(note.offset) + ": " + note.what);
    if (walked != IX_OK)
        problems->push_back("the data store cannot be read: " + io.engine_text(walked));
}

int info_keyed(const std::string& path, const Streams& io, const IndexedFile& file,
               const std::string& trees_not_open) {
    print_identity(path, file, io.out);
    const Measures m = measure(file, io);
    print_space(file, m, trees_not_open.empty(), io.out);
    print_trees(file, m, trees_not_open, io.out);
    for (const isam::WalkNote& note : m.notes)
        std::fprintf(io.out, "note            offset %" PRIu64 ": %s\n", note.offset,
                     note.what.c_str());
    if (m.walked != IX_OK) {
        io.error(path, "the data store cannot be read: " + io.engine_text(m.walked));
        return kExitFailed;
    }
    // What info met on the way is damage, shown above: the status says so.
    return m.notes.empty() && !m.trees_stopped() && trees_not_open.empty() && !file.unfinished()
               ? kExitOk
               : kExitDamaged;
}

int check_keyed(const std::string& path, const Streams& io, const IndexedFile& file,
                const std::string& trees_not_open) {
    std::vector<std::string> problems;
    if (!trees_not_open.empty())
        problems.push_back("the trees cannot be opened: " + trees_not_open);
    if (file.unfinished())
        problems.push_back(
            "an update session never closed the file: its header and indexes may be stale "
            "(kvr rebuild recovers the records)");
    Progress progress(io.err, "checking", static_cast<uint64_t>(file.handle()->open_trees) + 1);
    const bool trees_sound =
        check_trees(file.handle(), file.attributes().keys.size(), progress, &problems);
    isam::FileSummary summary;
    check_store(file.handle(), trees_sound, io, &problems, &summary);
    progress.done();
    if (const std::string journal = journal_note(path); !journal.empty())
        std::fprintf(io.out, "%s: journal %s\n", path.c_str(), journal.c_str());
    for (const std::string& problem : problems)
        std::fprintf(io.out, "%s: %s\n", path.c_str(), problem.c_str());
    if (!problems.empty())
        return kExitDamaged;
    std::string extra;
    if (summary.unused_blocks != 0)
        extra = ", " + count_text(summary.unused_blocks, "index block") + " on no list";
    std::fprintf(io.out, "%s: sound, %s, %s, %s%s\n", path.c_str(),
                 organization_name(file.attributes().organization),
                 count_text(summary.records, "record").c_str(),
                 count_text(summary.index_pages, "index page").c_str(), extra.c_str());
    return kExitOk;
}

// What info and check do first: a sequential file goes to `sequential`; an
// indexed or relative one is opened to inspect and goes to `keyed`.
int inspect(const std::string& path, const Streams& io,
            int (*sequential)(const std::string&, const Streams&),
            int (*keyed)(const std::string&, const Streams&, const IndexedFile&,
                         const std::string& trees_not_open)) {
    Organization organization{};
    if (!identify_file(path, io, &organization))
        return kExitFailed;
    if (organization == Organization::kSequential)
        return sequential(path, io);
    IndexedFile file;
    std::string trees_not_open;
    if (const int status = open_to_inspect(path, io, &file, &trees_not_open); status != kExitOk)
        return status;
    return keyed(path, io, file, trees_not_open);
}

}  // namespace

int command_info(const CommandLine& line, const Streams& io) {
    return inspect(line.operands[0], io, info_sequential, info_keyed);
}

int command_check(const CommandLine& line, const Streams& io) {
    return inspect(line.operands[0], io, check_sequential, check_keyed);
}

namespace {

// A key value from the command line: text with escapes for a key of bytes,
// a decimal record number for a relative file's key.
bool parse_key_value(const std::string& text, const KeySpec& key, std::vector<unsigned char>* out,
                     std::string* reason) {
    if (key.type == IX_KEY_TYPE_NUMBER) {
        uint64_t number = 0;
        if (!parse_number(text, &number) || number > UINT32_MAX) {
            *reason = "'" + text + "' is not a record number";
            return false;
        }
        out->assign(static_cast<size_t>(key.length), 0);
        for (int i = 0; i < key.length && i < 8; ++i)
            (*out)[static_cast<size_t>(i)] = static_cast<unsigned char>(number >> (8 * i));
        return true;
    }
    if (!unescape_text(text, out)) {
        *reason = "'" + text + "' has a malformed \\ escape (use \\\\ or \\xNN)";
        return false;
    }
    if (out->size() > static_cast<size_t>(key.length)) {
        *reason =
            "'" + text + "' is longer than the key (" + std::to_string(key.length) + " bytes)";
        return false;
    }
    return true;
}

// True when the record's key k, cut to the bound's length, is above the bound.
bool past_bound(const std::vector<unsigned char>& record, const KeySpec& key,
                const std::vector<unsigned char>& bound) {
    const unsigned char* value = record.data() + key.offset;
    if (key.type == IX_KEY_TYPE_NUMBER) {
        uint64_t a = 0;
        uint64_t b = 0;
        for (int i = key.length - 1; i >= 0; --i) {
            a = a << 8 | value[i];
            b = b << 8 | bound[static_cast<size_t>(i)];
        }
        return a > b;
    }
    return std::memcmp(value, bound.data(), bound.size()) > 0;
}

// How dump shows a record: as text with escapes, as hex, or in columns.
enum class View { kText, kHex, kColumns };

// One record; ordinal counts the records shown, key is the key whose order
// is followed (null for a sequential file). In columns a line before the
// bytes names the record: its record number, key or place in the file.
void print_record(const Streams& io, const FileAttributes& a, const std::vector<unsigned char>& r,
                  View view, const KeySpec* key, uint64_t ordinal) {
    const unsigned char* data = r.data();
    size_t length = r.size();
    std::string text;
    if (a.organization == Organization::kRelative && length >= kRecordNumberSize) {
        const uint32_t number = record_number(data);
        text = view == View::kColumns ? "record number " + std::to_string(number) + ", "
                                      : std::to_string(number) + ": ";
        data += kRecordNumberSize;
        length -= kRecordNumberSize;
    } else if (view == View::kColumns) {
        text = key == nullptr || static_cast<uint64_t>(key->offset) + key->length > r.size()
                   ? "record " + std::to_string(ordinal) + ", "
                   : "key \"" +
                         escape_bytes(r.data() + key->offset, static_cast<size_t>(key->length)) +
                         "\", ";
    }
    if (view == View::kColumns)
        text += count_text(length, "byte") + "\n" + column_lines(data, length);
    else
        text += (view == View::kHex ? hex_bytes(data, length) : escape_bytes(data, length)) + "\n";
    std::fwrite(text.data(), 1, text.size(), io.out);
}

int dump_sequential(const std::string& path, const CommandLine& line, View view,
                    const Streams& io) {
    if (line.value("--key") || line.value("--from") || line.value("--to")) {
        io.error(path, "a sequential file has no keys: --key, --from and --to do not apply");
        return kExitFailed;
    }
    SequentialFile file;
    if (!open_sequential_input(path, io, &file))
        return kExitFailed;
    uint64_t count = 0;
    const int result = scan_sequential(file, &count, [&](const std::vector<unsigned char>& r) {
        print_record(io, file.attributes(), r, view, nullptr, count);
        return true;
    });
    if (result != 0) {
        io.error(path, "record " + std::to_string(count + 1) + ": " + io.sequential_text(result));
        return kExitDamaged;
    }
    return kExitOk;
}

// Which records dump shows: the key whose order it follows, and the values
// --from and --to bound it by (absent: no bound).
struct DumpRange {
    int k = 0;
    std::optional<std::vector<unsigned char>> from;
    std::optional<std::vector<unsigned char>> to;
};

bool parse_range(const std::string& path, const CommandLine& line, const FileAttributes& a,
                 const Streams& io, DumpRange* range) {
    uint64_t k = 0;
    if (const std::string* text = line.value("--key");
        text != nullptr && (!parse_number(*text, &k) || k >= a.keys.size())) {
        io.error(path, "--key " + *text + ": the file's keys are numbered 0 to " +
                           std::to_string(a.keys.size() - 1));
        return false;
    }
    range->k = static_cast<int>(k);
    const KeySpec& key = a.keys[k];
    std::string reason;
    for (const auto& [option, bound] : {std::pair{"--from", &range->from}, {"--to", &range->to}}) {
        const std::string* text = line.value(option);
        if (text != nullptr && !parse_key_value(*text, key, &bound->emplace(), &reason)) {
            io.error(path, reason);
            return false;
        }
    }
    return true;
}

int dump_indexed(const std::string& path, const CommandLine& line, View view, const Streams& io) {
    IndexedFile file;
    if (const int status = open_indexed(path, io, false, &file); status != kExitOk)
        return status;
    if (file.unfinished()) {
        io.error(path,
                 "an update session never closed the file, so its indexes cannot be "
                 "trusted; run kvr rebuild first");
        return kExitFailed;
    }
    const FileAttributes& a = file.attributes();
    DumpRange range;
    if (!parse_range(path, line, a, io, &range))
        return kExitFailed;
    const KeySpec& key = a.keys[static_cast<size_t>(range.k)];
    std::vector<unsigned char> record;
    int result = range.from ? file.read_at_or_after(range.k, *range.from, &record)
                            : file.read(IX_READ_FIRST, range.k, &record);
    // The records go to the output as they are read: a bar drawn on the
    // same terminal would cut into them.
    Progress progress(::isatty(::fileno(io.out)) == 1 ? nullptr : io.err, "dumping",
                      a.record_count);
    uint64_t count = 0;
    while (result == IX_OK || result == IX_DUPLICATE_FOLLOWS) {
        if (range.to && past_bound(record, key, *range.to))
            break;
        print_record(io, a, record, view, &key, ++count);
        if (std::ferror(io.out) != 0)
            break;  // the output is lost: reading on is of no use
        progress.update(count);
        result = file.read(IX_READ_NEXT, range.k, &record);
    }
    progress.done();
    if (result != IX_OK && result != IX_DUPLICATE_FOLLOWS && result != IX_END_OF_FILE &&
        result != IX_NOT_FOUND) {
        io.error(path, "after " + count_text(count, "record") + ": " + io.engine_text(result));
        return kExitDamaged;
    }
    return kExitOk;
}

}  // namespace

int command_dump(const CommandLine& line, const Streams& io) {
    const std::string& path = line.operands[0];
    if (line.has_flag("--hex") && line.has_flag("--columns")) {
        io.error(path, "--hex and --columns are two views of the records; give one");
        return kExitFailed;
    }
    const View view = line.has_flag("--hex")       ? View::kHex
                      : line.has_flag("--columns") ? View::kColumns
                                                   : View::kText;
    Organization organization{};
    if (!identify_file(path, io, &organization))
        return kExitFailed;
    if (organization == Organization::kSequential)
        return dump_sequential(path, line, view, io);
    return dump_indexed(path, line, view, io);
}

}  // namespace kvr::tools
