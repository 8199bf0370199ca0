#include "tests/support/ProgramFolder.h"

#include "tests/support/PrivateNames.h"

#include <fstream>
#include <sstream>

namespace testsupport {

ProgramFolder::ProgramFolder()
    : folder_(MakeTemporaryFolder("burnwright-test-")),
      program_((folder_ / "Burnwright.exe").string()) {}

ProgramFolder::~ProgramFolder() {
    std::error_code ec;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(folder_, ec);
}

std::string ProgramFolder::Read(const std::string& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void ProgramFolder::Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int RecordingMessageHost::ShowMessageBox(const std::string& text, const std::string& caption,
                                         unsigned flags) {
    shown.push_back({text, caption, flags});
    if (answers.empty())
        return core::kIdOk;
    const int answer = answers.front();
    answers.erase(answers.begin());
    return answer;
}

} // namespace testsupport
