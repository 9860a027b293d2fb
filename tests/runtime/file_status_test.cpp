// Engine results as the FILE STATUS a COBOL program sees.
#include <gtest/gtest.h>

#include "runtime/file_status.h"
#include "vmqrmkvr/fcb.h"

namespace {

using kvr::runtime::record_verb_status;

TEST(FileStatus, FileNotOpenDependsOnTheVerb) {
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_READ), 47);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_WRITE), 48);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_REWRITE), 48);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_DELETE), 30);
    EXPECT_EQ(record_verb_status(3, VMQ_VERB_START), 30);
}

}  // namespace
