// Claim folders set claims apart on every platform: the test programs rely on
// it to keep each test's names its own.
#include "port/NamedMutex.h"
#include "tests/support/Environment.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

namespace {

using Outcome = port::NamedMutex::Outcome;

TEST(NamedMutexFolders, AClaimIsSeenThroughItsOwnFolderOnly) {
    testsupport::ProgramFolder scratch;
    const std::string a = scratch.File("a"), b = scratch.File("b");
    port::NamedMutex inA(a), inB(b), againInA(a);
    ASSERT_EQ(inA.Create("burnwright-folder-test"), Outcome::Created);
    EXPECT_EQ(inB.Create("burnwright-folder-test"), Outcome::Created);
    EXPECT_EQ(againInA.Create("burnwright-folder-test"), Outcome::AlreadyExists);

    // No folder given: the one BURNWRIGHT_LOCK_DIR names.
    testsupport::ScopedEnvironment folder("BURNWRIGHT_LOCK_DIR", b.c_str());
    port::NamedMutex byEnvironment;
    EXPECT_EQ(byEnvironment.Create("burnwright-folder-test"), Outcome::AlreadyExists);
}

} // namespace
