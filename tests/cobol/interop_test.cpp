// Files written through the library directly are read by a GnuCOBOL
// program through KVRFH, and files that program writes are read back
// through the library.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "verbs/verb_fixture.h"

namespace kvr::test {
namespace {

std::string run_program(const std::string& dir) {
    const std::string command =
        "cd '" + dir + "' && " KVR_COBOL_RUN_ENV " '" KVR_INTEROP_PROGRAM "' 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "cannot run " KVR_INTEROP_PROGRAM;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    ::pclose(pipe);
    return output;
}

// Customer records of 22 bytes: number (6), name (10), city (6, duplicates).
std::unique_ptr<VerbFile> customers(const std::string& name) {
    auto file = std::make_unique<VerbFile>(VMQ_ORG_INDEXED, name, 22);
    file->add_key(0, 6);
    file->add_key(16, 6, true);
    return file;
}

class CobolInterop : public TempDirTest {};

TEST_F(CobolInterop, FilesCrossBetweenTheLibraryAndACobolProgram) {
    auto library_file = customers(path("from_library.dat"));
    ASSERT_EQ(library_file->open(VMQ_OPEN_OUTPUT), "00");
    for (const char* record : {"000030CORA      PARIS ", "000010ALF       ROME  ",
                               "000020BENT      PARIS ", "000040DINA      BERN  "})
        ASSERT_EQ(library_file->write(record)[0], '0');
    ASSERT_EQ(library_file->close(), "00");

    EXPECT_EQ(run_program(dir_),
              "OPEN I-O from_library.dat 00\n"
              "START by city 00\n"
              "  000040DINA      BERN   00\n"
              "  000030CORA      PARIS  02\n"
              "  000020BENT      PARIS  00\n"
              "  000010ALF       ROME   00\n"
              "REWRITE 000020 00\n"
              "WRITE from_cobol.dat 02\n"  // LIMA twice
              "WRITE from_cobol_seq.dat 00\n");

    auto changed = customers(path("from_library.dat"));
    ASSERT_EQ(changed->open(VMQ_OPEN_INPUT), "00");
    EXPECT_EQ(changed->got(changed->read_key("000020")), "00 000020CHANGED   PARIS ");
    EXPECT_EQ(changed->close(), "00");

    auto cobol_file = customers(path("from_cobol.dat"));
    ASSERT_EQ(cobol_file->open(VMQ_OPEN_INPUT), "00");
    std::vector<std::string> by_number;
    while (cobol_file->read(VMQ_READ_NEXT)[0] == '0')
        by_number.push_back(cobol_file->record());
    EXPECT_EQ(by_number,
              (std::vector<std::string>{"300100ADA       QUITO ", "300200BEA       LIMA  ",
                                        "300300CARL      LIMA  "}));
    EXPECT_EQ(cobol_file->close(), "00");

    VerbFile sequential(VMQ_ORG_SEQUENTIAL, path("from_cobol_seq.dat"), 40);
    sequential.description().min_record_length = 1;
    sequential.description().min_area_length = 1;
    sequential.description().record_flags = VMQ_RECORD_VARIABLE;
    ASSERT_EQ(sequential.open(VMQ_OPEN_INPUT), "00");
    EXPECT_EQ(sequential.next(), "00 SHORT");
    EXPECT_EQ(sequential.next(), "00 A RECORD OF FORTY BYTES, PADDED ON TO 40");
    EXPECT_EQ(sequential.read(), "10");
    EXPECT_EQ(sequential.close(), "00");
}

}  // namespace
}  // namespace kvr::test
