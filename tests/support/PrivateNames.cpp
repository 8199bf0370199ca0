#include "tests/support/PrivateNames.h"

#include <cstdlib>
#include <random>

namespace testsupport {
namespace {

void SetLockFolder(const char* value) {
#ifdef _WIN32
    ::_putenv_s("BURNWRIGHT_LOCK_DIR", value ? value : "");
#else
    if (value)
        ::setenv("BURNWRIGHT_LOCK_DIR", value, 1);
    else
        ::unsetenv("BURNWRIGHT_LOCK_DIR");
#endif
}

} // namespace

std::filesystem::path MakeTemporaryFolder(const std::string& prefix) {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / (prefix + std::to_string(random()) + std::to_string(random()));
        if (std::filesystem::create_directory(candidate))
            return candidate;
    }
}

void PrivateNamesPerTest::OnTestStart(const ::testing::TestInfo&) {
    folder_ = MakeTemporaryFolder("burnwright-names-");
    SetLockFolder((folder_ / "claims").string().c_str());
}

void PrivateNamesPerTest::OnTestEnd(const ::testing::TestInfo&) {
    SetLockFolder(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

void UsePrivateNamesPerTest() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new PrivateNamesPerTest);
}

} // namespace testsupport
