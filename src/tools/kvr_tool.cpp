// The command line: which command, its operands and options, --help and
// --version.
#include "tools/kvr_tool.h"

#include <cerrno>
#include <cstring>
#include <set>

#include "tools/commands.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace kvr::tools {

namespace {

struct CommandInfo {
    const char* name;
    int (*run)(const CommandLine&, const Streams&);
    int min_operands;
    int max_operands;
    std::set<std::string> value_options;
    std::set<std::string> flag_options;
    const char* help;         // usage, what it does, its options
    const char* exit_status;  // what each exit status means
};

// One line per command, then its help and what its exit statuses mean.
// clang-format off
const CommandInfo kCommands[] = {
    {"info", command_info, 1, 1, {}, {},
     "Usage: kvr info FILE\n"
     "\n"
     "Shows what FILE is: its organization and format, version, record lengths,\n"
     "keys, record count, how the file's bytes divide into header, index pages,\n"
     "records and free space, and each key's tree height and page fill. A\n"
     "relative file's record lengths are the program's; its key is the record\n"
     "number (RELATIVE KEY), which the file keeps in 4 bytes in front of each\n"
     "record.\n",
     "0 shown, 1 the file is damaged: what can be shown is, and the\n"
     "damage met on the way is named as kvr check names it (kvr check tells\n"
     "more), 2 the file cannot be read (it is missing, no file of this system,\n"
     "or another process has it open for update).\n"},
    {"check", command_check, 1, 1, {}, {},
     "Usage: kvr check FILE\n"
     "\n"
     "Checks the whole file - every index tree, every record against the\n"
     "indexes, the free lists - and prints every problem found with where it\n"
     "lies: the index page and its entry, the slot or block, or the header's\n"
     "field that is wrong (\"key 0, page 4096 entry 1: prime entry ...\"). Keys\n"
     "are shown as text, \\xNN for a byte that does not print; a relative\n"
     "file's as record numbers. The file is never changed.\n",
     "0 the file is sound, 1 it is damaged, 2 it cannot be read.\n"},
    {"dump", command_dump, 1, 1, {"--key", "--from", "--to"}, {"--hex", "--columns"},
     "Usage: kvr dump FILE [--key N] [--from VALUE] [--to VALUE] [--columns | --hex]\n"
     "\n"
     "Prints the records, one per line, in the order of key N (0, the prime\n"
     "key, by default); a sequential file's in file order. Printable bytes are\n"
     "shown as they are, a backslash as \\\\ and every other byte as \\xNN: for\n"
     "records of text (DISPLAY fields). A relative file's records are shown\n"
     "after their record number (RELATIVE KEY) and a colon.\n"
     "\n"
     "  --columns     each record as a line that names it (record number, key\n"
     "                or place in the file) and its length, then its bytes 16\n"
     "                to a line as hexdump -C shows them: the position of the\n"
     "                first (from 1, as kvr load --key counts), the bytes in\n"
     "                hex, and as text with a dot for each that does not\n"
     "                print. Made for records with binary or packed-decimal\n"
     "                (COMP, COMP-3) fields, which the plain view shows as runs\n"
     "                of \\xNN.\n"
     "  --hex         every byte as hex, one record per line\n"
     "  --key N       the key whose order is followed\n"
     "  --from VALUE  start at the first record whose key is at or after VALUE\n"
     "  --to VALUE    stop after the last record whose key, cut to the length\n"
     "                of VALUE, is at or before VALUE\n"
     "VALUE is text with \\xNN escapes, or a record number for a relative file.\n",
     "0 every record shown, 1 damage in the file stopped the dump\n"
     "(the records before it are shown, the damage is reported), 2 nothing shown\n"
     "(the file cannot be read, an option does not fit it) or the output cannot\n"
     "be written.\n"},
    {"unload", command_unload, 2, 2, {"--format", "--varseq-format"}, {"--text"},
     "Usage: kvr unload FILE OUT [--text | --format dump]\n"
     "       kvr unload FILE OUT --format gnucobol [--varseq-format N]\n"
     "\n"
     "Copies every record of FILE, in the order of its prime key (a relative\n"
     "file's in record-number order, a sequential file's in file order), to OUT:\n"
     "a new sequential file of this system holding the records exactly, or\n"
     "with --text a line-sequential text file, one record per line. A relative\n"
     "file's records keep their record numbers in the sequential file, 4 bytes\n"
     "in front of each (its records are 4 bytes longer, and kvr load gives\n"
     "the numbers back); in the text file the numbers are left out, and\n"
     "numbers with gaps are warned of, as kvr load --text numbers the lines\n"
     "1, 2, 3, ... OUT appears only when complete and replaces a file of that\n"
     "name.\n"
     "\n"
     "  --format dump      OUT is a dump: the whole file as text, which kvr\n"
     "                     load --format dump makes the file again from, with\n"
     "                     its organization, record lengths, keys and store\n"
     "                     format, whatever bytes the records hold. First the\n"
     "                     header, a line each: KVR-DUMP=1;\n"
     "                     organization=indexed, relative or sequential;\n"
     "                     store=slot or block (not for a sequential file);\n"
     "                     records=fixed or variable, then the shortest and the\n"
     "                     longest record as the program has them; for an\n"
     "                     indexed file key=POS:LEN[:dups] per key, the prime\n"
     "                     key first; HEADER=END. Then a line per record: a\n"
     "                     space (a relative file's record number and a space\n"
     "                     more) and its bytes as pairs of hex digits, - for\n"
     "                     none. Last DATA=END. An indexed file's records\n"
     "                     follow its first alternate key that allows\n"
     "                     duplicates, which keeps their order.\n"
     "  --format gnucobol  OUT is the file GnuCOBOL's own handler (a program\n"
     "                     compiled without -fcallfh) reads, of FILE's\n"
     "                     organization: for an indexed FILE the Berkeley DB\n"
     "                     files OUT (prime key) and OUT.1, OUT.2, ... (the\n"
     "                     alternate keys, duplicates in FILE's order); for a\n"
     "                     relative FILE a slot per record number; for a\n"
     "                     sequential FILE the records back to back, each\n"
     "                     behind a record header when FILE's shortest record\n"
     "                     length is below its longest\n"
     "  --varseq-format N  those headers as GnuCOBOL's COB_VARSEQ_FORMAT N:\n"
     "                     0 (the default) a 2-byte big-endian length and two\n"
     "                     zero bytes, 1 a 4-byte big-endian length, 2 a 4-byte\n"
     "                     little-endian one, 3 a 2-byte big-endian one\n",
     "0 OUT written, 2 nothing written (FILE cannot be read, OUT\n"
     "cannot be written, a record does not fit OUT's format).\n"},
    {"load", command_load, 2, 2, {"--like", "--record", "--key", "--format", "--varseq-format"},
     {"--text", "--relative", "--sequential"},
     "Usage: kvr load FILE IN [--text | --format gnucobol] --like OTHER\n"
     "       kvr load FILE IN [...] --record LEN[-MAX] --key POS:LEN[:dups] ...\n"
     "       kvr load FILE IN [...] --relative --record LEN[-MAX]\n"
     "       kvr load FILE IN [...] --sequential --record LEN[-MAX]\n"
     "       kvr load FILE IN --format dump\n"
     "\n"
     "Creates the indexed, relative or sequential file FILE and writes into it\n"
     "every record of IN: a sequential file of this system (as kvr unload\n"
     "writes it); with --text a text file, one record per line (lines of a\n"
     "fixed-length file are filled up with spaces; a relative file's records\n"
     "get the numbers 1, 2, ...); with --format gnucobol a file of FILE's\n"
     "organization that GnuCOBOL's own handler wrote; with --format dump a dump\n"
     "that kvr unload --format dump wrote (kvr unload --help), which gives\n"
     "FILE's attributes too.\n"
     "\n"
     "  --like OTHER          take organization, record lengths and keys from\n"
     "                        the file OTHER\n"
     "  --record LEN[-MAX]    fixed length LEN, or variable from LEN to MAX: the\n"
     "                        record as the program has it (for a relative file\n"
     "                        without the record number; kvr info shows it)\n"
     "  --key POS:LEN[:dups]  a key at position POS (from 1) of LEN bytes; the\n"
     "                        first is the prime key, :dups allows duplicates\n"
     "  --relative            a relative file, keyed by record number (RELATIVE\n"
     "                        KEY): from a sequential file each record's number\n"
     "                        is in its first 4 bytes (as unload writes it),\n"
     "                        from a text file the records get 1, 2, ...\n"
     "  --sequential          a sequential file, records in the order of IN\n"
     "  --format gnucobol     IN was written by a program compiled without\n"
     "                        -fcallfh; give the record lengths and keys of its\n"
     "                        FD and SELECT. An indexed FILE reads the Berkeley\n"
     "                        DB files IN (prime key), IN.1, IN.2, ... (one per\n"
     "                        alternate key, which allows duplicates exactly\n"
     "                        when its file does); every key is checked against\n"
     "                        the records, and duplicates of the first key that\n"
     "                        allows them keep GnuCOBOL's order. A relative FILE\n"
     "                        reads slots of an 8-byte length and MAX bytes, a\n"
     "                        sequential FILE records back to back, each behind\n"
     "                        a record header when LEN is below MAX.\n"
     "  --format dump         IN is a dump: FILE gets the organization, record\n"
     "                        lengths, keys and store format it gives, and its\n"
     "                        records, with their record numbers for a relative\n"
     "                        file. A dump cut short or changed into something\n"
     "                        else is refused whole.\n"
     "  --varseq-format N     those headers as GnuCOBOL's COB_VARSEQ_FORMAT N\n"
     "                        (0, the default, to 3; kvr unload --help)\n"
     "\n"
     "FILE must not exist. When any record is refused (a length outside\n"
     "LEN-MAX, a key another record has), each is reported and no file is\n"
     "created. A GnuCOBOL file whose bytes do not fit the lengths and keys\n"
     "given (written with another record layout) is refused whole, with the\n"
     "first place that does not fit.\n",
     "0 FILE made with every record, 1 some records refused (each is\n"
     "reported), 2 IN cannot be read, the options do not fit, or FILE cannot be\n"
     "written. Unless it is 0, no file is made.\n"},
    {"rebuild", command_rebuild, 1, 1, {}, {},
     "Usage: kvr rebuild FILE\n"
     "\n"
     "Rebuilds every index of an indexed or relative file from the records its\n"
     "data store holds, without trusting its header's counts or its trees: the\n"
     "way back after a process died with the file open for update. The new file\n"
     "replaces FILE only once it is complete and checked. Records whose keys\n"
     "collide with a record found before them are reported and kept in the\n"
     "sequential file FILE.collisions. When some bytes could not be read, or\n"
     "fewer records were found than a cleanly closed FILE counts, the old file\n"
     "is kept as FILE.damaged. Neither of these may exist beforehand.\n",
     "0 every record was kept, 1 some were set aside or some bytes\n"
     "could not be read (reported), 2 nothing was changed.\n"},
    {"convert", command_convert, 1, 1, {}, {},
     "Usage: kvr convert FILE\n"
     "\n"
     "Rewrites a block-format indexed or relative file in the slot format,\n"
     "keeping every record and attribute. The converted file replaces FILE only\n"
     "once it is complete and checked.\n",
     "0 converted, or already in the slot format, 2 nothing was\n"
     "changed.\n"},
};
// clang-format on

const char kToolHelp[] =
    "Usage: kvr COMMAND [ARGS]\n"
    "\n"
    "Inspects, checks and repairs the indexed, relative and sequential files of\n"
    "this system.\n"
    "\n"
    "commands:\n"
    "  info FILE          what the file is and how its space is used\n"
    "  check FILE         every problem in the file (exit 0 sound, 1 damaged)\n"
    "  dump FILE          the records as text, in columns or as hex, by a key\n"
    "  unload FILE OUT    the records to a sequential, text, dump or GnuCOBOL file\n"
    "  load FILE IN       a new file from a sequential, text, dump or GnuCOBOL file\n"
    "  rebuild FILE       every index rebuilt from the records\n"
    "  convert FILE       a block-format file rewritten in the slot format\n"
    "\n"
    "options, before COMMAND or among its own:\n"
    "  --verbose          messages also give the engines' result codes, as in\n"
    "                     \"another process has the file open (18)\"\n"
    "\n"
    "exit status (kvr COMMAND --help tells each command's):\n"
    "  0                  done\n"
    "  1                  the file is damaged, or some records were refused or\n"
    "                     set aside (each is reported)\n"
    "  2                  the command could not be carried out: bad usage, a\n"
    "                     file that cannot be read or written\n"
    "\n"
    "kvr COMMAND --help shows a command's options; kvr --version the version.\n";

// kvr is built with the library: their versions are one. help2man takes
// the man page's version from this line.
const char kVersion[] = "kvr (KVR) " VMQRMKVR_VERSION "\n";

// A command's help: its own text, the option every command takes, and
// what its exit statuses mean.
void print_help(const CommandInfo& command, std::FILE* to) {
    std::fputs(command.help, to);
    std::fputs(
        "\n"
        "--verbose, here or before the command, adds the engines' result codes to\n"
        "the messages.\n"
        "\n"
        "Exit status: ",
        to);
    std::fputs(command.exit_status, to);
}

const CommandInfo* find_command(const std::string& name) {
    for (const CommandInfo& command : kCommands)
        if (name == command.name)
            return &command;
    return nullptr;
}

}  // namespace

bool CommandLine::has_flag(const std::string& name) const {
    for (const std::string& flag : flags)
        if (flag == name)
            return true;
    return false;
}

const std::string* CommandLine::value(const std::string& name) const {
    const auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
}

void Streams::error(const std::string& file, const std::string& what) const {
    clear_progress_line(err);
    if (file.empty())
        std::fprintf(err, "kvr: %s\n", what.c_str());
    else
        std::fprintf(err, "kvr: %s: %s\n", file.c_str(), what.c_str());
    std::fflush(err);
}

bool identify_file(const std::string& path, const Streams& io, Organization* organization) {
    std::string reason;
    if (identify(path, organization, &reason))
        return true;
    io.error(path, reason);
    return false;
}

bool open_sequential_input(const std::string& path, const Streams& io, SequentialFile* file) {
    if (const int result = file->open_input(path); result != 0) {
        io.error(path, io.sequential_text(result));
        return false;
    }
    return true;
}

namespace {

// What parse_command_line gives when the command is to run.
constexpr int kParsed = -1;

// One option of the command (arg, at argv[*i]), into line: a flag, or an
// option with its value after "=" or in the next argument (then *i moves
// on). False after saying why it does not fit.
bool take_option(const CommandInfo& command, const std::string& arg, int argc,
                 const char* const* argv, int* i, Streams* io, CommandLine* line) {
    const std::string name = command.name;
    std::string option = arg;
    std::string value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
        option = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        has_value = true;
    }
    const bool flag = option == "--verbose" || command.flag_options.count(option) != 0;
    if (flag && has_value) {
        io->error("", "kvr " + name + ": option " + option + " takes no value");
        return false;
    }
    if (option == "--verbose") {
        io->verbose = true;
        return true;
    }
    if (flag) {
        line->flags.push_back(option);
        return true;
    }
    if (command.value_options.count(option) == 0) {
        io->error("", "kvr " + name + ": unknown option '" + arg + "'; kvr " + name +
                          " --help lists its options");
        return false;
    }
    if (!has_value) {
        if (*i + 1 >= argc) {
            io->error("", "kvr " + name + ": option " + option + " needs a value");
            return false;
        }
        value = argv[++*i];
    }
    // Only load's --key may be given more than once; any other option given
    // twice would have one of its values ignored.
    if (line->values.count(option) != 0 && !(name == "load" && option == "--key")) {
        io->error("", "kvr " + name + ": option " + option + " is given more than once");
        return false;
    }
    line->values.emplace(option, value);
    return true;
}

// The command's operands and options, from the arguments after argv[first].
// kParsed, or the exit status to end with: 0 after the command's help.
int parse_command_line(const CommandInfo& command, int argc, const char* const* argv, int first,
                       Streams* io, CommandLine* line) {
    line->command = command.name;
    bool options_end = false;
    for (int i = first + 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!options_end && (arg == "--help" || arg == "-h")) {
            print_help(command, io->out);
            return kExitOk;
        }
        if (!options_end && arg == "--") {
            options_end = true;
            continue;
        }
        if (options_end || arg.size() < 2 || arg.compare(0, 2, "--") != 0)
            line->operands.push_back(arg);
        else if (!take_option(command, arg, argc, argv, &i, io, line))
            return kExitFailed;
    }
    const int operands = static_cast<int>(line->operands.size());
    if (operands < command.min_operands || operands > command.max_operands) {
        io->error("", "kvr " + line->command + ": wrong number of operands");
        print_help(command, io->err);
        return kExitFailed;
    }
    return kParsed;
}

}  // namespace

int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    Streams io{out, err};
    // --verbose may stand before the command as well as among its options.
    int first = 1;
    for (; first < argc && std::strcmp(argv[first], "--verbose") == 0; ++first)
        io.verbose = true;
    if (argc <= first) {
        std::fputs(kToolHelp, err);
        return kExitFailed;
    }
    const std::string name = argv[first];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(kToolHelp, out);
        return kExitOk;
    }
    if (name == "--version") {
        std::fputs(kVersion, out);
        return kExitOk;
    }
    const CommandInfo* command = find_command(name);
    if (command == nullptr) {
        io.error("", "unknown command '" + name + "'; kvr --help lists the commands");
        return kExitFailed;
    }
    CommandLine line;
    if (const int parsed = parse_command_line(*command, argc, argv, first, &io, &line);
        parsed != kParsed)
        return parsed;
    const int status = command->run(line, io);
    // Output that never arrived (a full disk, a closed pipe) is a failure
    // like any other, not a success with nothing to show.
    errno = 0;
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        io.error("", std::string("the output cannot be written") +
                         (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
        return kExitFailed;
    }
    return status;
}

}  // namespace kvr::tools
