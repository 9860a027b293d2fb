// The kvr commands, each given its parsed command line.
#ifndef KVR_TOOLS_COMMANDS_H
#define KVR_TOOLS_COMMANDS_H

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/kvr_file.h"

namespace kvr::tools {

struct CommandLine {
    std::string command;
    std::vector<std::string> operands;
    // Options with a value, in the order given (--key may repeat).
    std::multimap<std::string, std::string> values;
    std::vector<std::string> flags;  // options without a value

    bool has_flag(const std::string& name) const;
    // The option's value, or null when it was not given.
    const std::string* value(const std::string& name) const;
};

struct Streams {
    std::FILE* out;
    std::FILE* err;
    // kvr --verbose: messages also give the engines' result codes.
    bool verbose = false;
    // An engine's result in words, with its code when verbose.
    std::string engine_text(int result) const { return tools::engine_text(result, verbose); }
    std::string sequential_text(int result) const {
        return tools::sequential_text(result, verbose);
    }
    // "kvr: FILE: what" on the message stream.
    void error(const std::string& file, const std::string& what) const;
    void warn(const std::string& file, const std::string& what) const { error(file, what); }
};

// Which organization the file has (kvr_file.h identify); false when it is
// none, after saying why.
bool identify_file(const std::string& path, const Streams& io, Organization* organization);
// Opens a sequential file for input; false after saying why it cannot be.
bool open_sequential_input(const std::string& path, const Streams& io, SequentialFile* file);

int command_info(const CommandLine& line, const Streams& io);
int command_check(const CommandLine& line, const Streams& io);
int command_dump(const CommandLine& line, const Streams& io);
int command_unload(const CommandLine& line, const Streams& io);
int command_load(const CommandLine& line, const Streams& io);
int command_rebuild(const CommandLine& line, const Streams& io);
int command_convert(const CommandLine& line, const Streams& io);

// Every record of an indexed, relative or sequential file, in the order of
// key k (file order for a sequential file), to visit. 0; 2 when visit
// returned false, or after a failure was reported.
int read_records(const std::string& path, int k, const Streams& io, FileAttributes* attributes,
                 const std::function<bool(const std::vector<unsigned char>&)>& visit);

// --format and --varseq-format of load and unload: false after saying why
// they do not fit; *format is the COB_VARSEQ_FORMAT to use.
bool parse_varseq_format(const CommandLine& line, const Streams& io, int* format);
// Takes one record for the new file; where names it for messages. False
// ends the load (the sink keeps the reason).
using RecordSink = std::function<bool(const unsigned char*, size_t, const std::string& where)>;
// kvr load --format gnucobol: offers every record of the GnuCOBOL file
// input, which is of the organization of a (gnucobol_files.h), to put. 0,
// or 2 after saying why the file cannot be read as such.
int read_gnucobol_input(const std::string& input, const FileAttributes& a, int varseq_format,
                        const Streams& io, const RecordSink& put);
// kvr unload --format gnucobol: the file at path as GnuCOBOL's own file(s) out.
int unload_to_gnucobol(const std::string& path, const std::string& out, int varseq_format,
                       const Streams& io);

}  // namespace kvr::tools

#endif
