// A small batch job that plays the COBOL runtime's part for the record-file
// library: it lays out an FCB and a file description for each file, calls
// _IO_Init, and from then on reaches every verb only through the FCB's verb
// vector, printing each verb with the FILE STATUS the program would see.
//
// The job writes a sequential file of new customers, loads it into an
// indexed customer master (prime key: the customer number; alternate key
// with duplicates: the city), reads the master by both keys, applies some
// changes and deletions, keeps a relative file of counters, and prints a
// report by city into a sequential file, with a blank line after each city
// (WRITE AFTER ADVANCING).
//
// Usage: customer_job [directory]   (files are made there; default: .)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vmqrmkvr/vmqrmkvr.h"

namespace {

// One file of the program, as the runtime keeps it.
class ProgramFile {
public:
    ProgramFile(const char* label, uint8_t organization, std::string name, uint32_t length)
        : label_(label), name_(std::move(name)), record_(4 + length + 1, ' ') {
        layout_.description.organization = organization;
        layout_.description.max_record_length = length;
        layout_.description.min_record_length = length;
        layout_.description.max_area_length = length;
        layout_.description.min_area_length = length;
        layout_.description.keys_offset = offsetof(Layout, keys);
        layout_.description.status_offset = 0;
        layout_.description.message_offset = 0;
        layout_.description.message_length = sizeof message_ - 1;
        status_base_ = status_;
        message_base_ = reinterpret_cast<unsigned char*>(message_);
        layout_.description.status_base = &status_base_;
        layout_.description.message_base = &message_base_;
        fcb_.description = &layout_.description;
        fcb_.file_name = name_.data();
        fcb_.record_area = reinterpret_cast<unsigned char*>(record_.data()) + 4;
        // A closed file: every verb but OPEN goes to the runtime's errors.
        fcb_.read_entry = _vmqReadError;
        fcb_.write_entry = _vmqWriteError;
        fcb_.rewrite_entry = _vmqRewriteError;
        fcb_.start_entry = _vmqStartError;
        fcb_.delete_entry = _vmqDeleteError;
        fcb_.close_entry = _vmqCloseError;
    }

    void add_key(uint32_t position, uint32_t length, bool duplicates) {
        vmq_key_description& key = layout_.keys[layout_.description.key_count++];
        key.position = position;
        key.length = length;
        key.flags = duplicates ? VMQ_KEY_DUPLICATES : 0;
    }
    void init(vmq_program_context* context) {
        context_ = context;
        _IO_Init(&fcb_, context);
    }

    vmq_fcb& fcb() { return fcb_; }
    std::string record() const { return std::string(record_.data() + 4, fcb_.read_length); }
    void set_record(const std::string& text) {
        std::memset(record_.data() + 4, ' ', layout_.description.max_record_length);
        std::memcpy(record_.data() + 4, text.data(),
                    std::min<size_t>(text.size(), layout_.description.max_record_length));
        fcb_.write_length = layout_.description.max_record_length;
    }

    // Runs one verb through the vector and prints it with its status.
    std::string run(const char* verb, vmq_verb_entry vmq_fcb::*slot, const std::string& what = "") {
        (fcb_.*slot)(&fcb_, context_);
        std::string status(reinterpret_cast<const char*>(status_), 2);
        std::printf("%-9s %-7s %-30s status %s", label_, verb, what.c_str(), status.c_str());
        if (status[0] != '0') {
            std::string message(message_, sizeof message_ - 1);
            message.erase(message.find_last_not_of(' ') + 1);
            std::printf("  (%s)", message.c_str());
        }
        std::printf("\n");
        return status;
    }
    std::string open(uint16_t request) {
        fcb_.open_request = request;
        const char* mode = request == VMQ_OPEN_INPUT    ? "INPUT"
                           : request == VMQ_OPEN_OUTPUT ? "OUTPUT"
                           : request == VMQ_OPEN_EXTEND ? "EXTEND"
                                                        : "I-O";
        return run("OPEN", &vmq_fcb::open_entry, mode);
    }
    std::string close() { return run("CLOSE", &vmq_fcb::close_entry); }
    std::string write(const std::string& text, const std::string& what = "") {
        set_record(text);
        return run("WRITE", &vmq_fcb::write_entry, what.empty() ? text.substr(0, 30) : what);
    }
    std::string rewrite(const std::string& text) {
        set_record(text);
        return run("REWRITE", &vmq_fcb::rewrite_entry, text.substr(0, 30));
    }
    std::string read(uint32_t options, const std::string& what = "") {
        fcb_.verb_options = options;
        return run("READ", &vmq_fcb::read_entry, what);
    }
    std::string start(uint32_t relation, const std::string& key_value, uint16_t key_length) {
        set_record(key_value);
        fcb_.verb_options = relation;
        fcb_.start_key_length = key_length;
        return run("START", &vmq_fcb::start_entry, key_value);
    }
    std::string remove(const std::string& what) {
        return run("DELETE", &vmq_fcb::delete_entry, what);
    }

private:
    struct Layout {
        vmq_file_description description;
        vmq_key_description keys[4];
    };

    const char* label_;
    std::string name_;
    std::vector<char> record_;
    Layout layout_{};
    vmq_fcb fcb_{};
    vmq_program_context* context_ = nullptr;
    unsigned char status_[2] = {'0', '0'};
    char message_[81] = {};
    unsigned char* status_base_ = nullptr;
    unsigned char* message_base_ = nullptr;
};

// Customer record, 40 bytes: number (6), name (16), city (10), balance (8).
std::string customer(const char* number, const char* name, const char* city, long balance) {
    char text[64];
    std::snprintf(text, sizeof text, "%-6.6s%-16.16s%-10.10s%08ld", number, name, city, balance);
    return text;
}

const char* kNewCustomers[][3] = {
    {"100200", "ANNA BERG", "OSLO"},      {"100100", "BERT MOLL", "BERGEN"},
    {"100400", "CARL NYGAARD", "OSLO"},   {"100300", "DORA LIND", "TRONDHEIM"},
    {"100600", "EVA STRAND", "BERGEN"},   {"100500", "FRANK HOLM", "OSLO"},
    {"100700", "GRETE VIK", "STAVANGER"},
};

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    vmq_runtime_block runtime{};
    vmq_program_context context{};
    context.runtime = &runtime;

    ProgramFile input("NEWCUST", VMQ_ORG_SEQUENTIAL, dir + "/newcust.seq", 40);
    ProgramFile master("CUSTOMER", VMQ_ORG_INDEXED, dir + "/customer.idx", 40);
    master.add_key(0, 6, false);
    master.add_key(22, 10, true);
    ProgramFile counters("COUNTERS", VMQ_ORG_RELATIVE, dir + "/counters.rel", 12);
    ProgramFile report("REPORT", VMQ_ORG_SEQUENTIAL, dir + "/report.seq", 40);
    for (ProgramFile* file : {&input, &master, &counters, &report})
        file->init(&context);

    std::printf("-- write the new customers to a sequential file\n");
    input.open(VMQ_OPEN_OUTPUT);
    long balance = 1000;
    for (auto& c : kNewCustomers)
        input.write(customer(c[0], c[1], c[2], balance += 250));
    input.close();

    std::printf("-- load them into the indexed master\n");
    master.open(VMQ_OPEN_OUTPUT);
    input.open(VMQ_OPEN_INPUT);
    int loaded = 0;
    while (input.read(VMQ_READ_NEXT) == "00") {
        const std::string status = master.write(input.record());
        if (status[0] == '0')
            ++loaded;
    }
    input.close();
    master.write(customer("100300", "DUPLICATE", "OSLO", 0), "100300 again");
    master.close();

    std::printf("-- read by customer number and by city\n");
    master.open(VMQ_OPEN_IO);
    master.set_record("100400");
    master.read(0, "key 100400");
    std::printf("          found: %s\n", master.record().c_str());
    master.set_record("100999");
    master.read(0, "key 100999");
    master.fcb().key_of_reference = 2;
    master.start(VMQ_START_EQUAL | VMQ_KEY_IS, std::string(22, ' ') + "OSLO", 32);
    while (master.read(VMQ_READ_NEXT, "next by city") <= "02" &&
           master.record().substr(22, 4) == "OSLO")
        std::printf("          %s\n", master.record().c_str());

    std::printf("-- change and delete\n");
    master.fcb().key_of_reference = 1;
    master.set_record("100500");
    master.read(0, "key 100500");
    std::string moved = master.record();
    moved.replace(22, 10, "BERGEN    ");
    master.rewrite(moved);
    master.set_record("100700");
    master.remove("100700");
    master.set_record("100700");
    master.remove("100700 again");
    master.close();

    std::printf("-- count the customers per city in a relative file\n");
    counters.open(VMQ_OPEN_OUTPUT);
    counters.close();
    counters.open(VMQ_OPEN_IO);
    master.open(VMQ_OPEN_INPUT);
    master.fcb().key_of_reference = 2;
    std::vector<std::string> cities;
    master.start(VMQ_START_NOT_LESS | VMQ_KEY_IS, std::string(32, ' '), 32);
    while (master.read(VMQ_READ_NEXT, "next by city") <= "02") {
        const std::string city = master.record().substr(22, 10);
        if (cities.empty() || cities.back() != city)
            cities.push_back(city);
        const uint32_t slot = static_cast<uint32_t>(cities.size());
        counters.fcb().relative_number = slot;
        if (counters.read(0, "slot " + std::to_string(slot)) == "00") {
            int count = std::atoi(counters.record().substr(10, 2).c_str()) + 1;
            char text[32];
            std::snprintf(text, sizeof text, "%-10.10s%02d", city.c_str(), count % 100);
            counters.rewrite(text);
        } else {
            counters.write(city + "01", "slot " + std::to_string(slot));
        }
    }
    master.close();
    counters.close();

    std::printf("-- print the report by city\n");
    report.open(VMQ_OPEN_OUTPUT);
    counters.open(VMQ_OPEN_INPUT);
    while (counters.read(VMQ_READ_NEXT) == "00") {
        const std::string line = counters.record();
        report.fcb().advance_options = VMQ_ADVANCE_AFTER;
        report.fcb().advance_lines = 2;
        report.write("CITY " + line.substr(0, 10) + " CUSTOMERS " + line.substr(10, 2));
    }
    counters.close();
    report.close();

    std::printf("-- the report as written\n");
    report.open(VMQ_OPEN_INPUT);
    while (report.read(0, "") == "00")
        std::printf("          |%s|\n", report.record().c_str());
    report.close();

    std::printf("loaded %d customers; storage still held by the files: %ld\n", loaded,
                threadStorage()->live_allocations);
    return threadStorage()->live_allocations == 0 ? 0 : 1;
}
