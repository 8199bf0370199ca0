#include "driver/linkpod/PipeName.h"

#include <gtest/gtest.h>

#include <string>

using driver::linkpod::PipeNameKind;
using driver::linkpod::PipeNameResult;
using driver::linkpod::ResolvePipeName;

namespace {

PipeNameResult Resolve(const std::u16string& name, uint32_t pipes = 2) {
    return ResolvePipeName(reinterpret_cast<const uint16_t*>(name.data()),
                           static_cast<uint32_t>(name.size()), pipes);
}

void ExpectPipe(const std::u16string& name, uint32_t pipes, uint32_t expected) {
    const PipeNameResult result = Resolve(name, pipes);
    EXPECT_EQ(result.kind, PipeNameKind::Pipe) << std::string(name.begin(), name.end());
    EXPECT_EQ(result.pipe, expected) << std::string(name.begin(), name.end());
}

void ExpectInvalid(const std::u16string& name, uint32_t pipes) {
    EXPECT_EQ(Resolve(name, pipes).kind, PipeNameKind::Invalid)
        << std::string(name.begin(), name.end());
}

} // namespace

TEST(PipeName, EmptyNameOpensTheDevice) {
    EXPECT_EQ(Resolve(u"", 2).kind, PipeNameKind::Device);
    EXPECT_EQ(Resolve(u"", 0).kind, PipeNameKind::Device);
}

TEST(PipeName, LastDigitRunSelectsThePipeWhateverTheLetters) {
    ExpectPipe(u"\\PIPE00", 2, 0);
    ExpectPipe(u"\\PIPE01", 2, 1);
    ExpectPipe(u"\\X1Y", 2, 1);
    ExpectPipe(u"\\1", 2, 1);
    ExpectPipe(u"0", 2, 0);
    // Only the run nearest the end counts; earlier digits are ignored.
    ExpectPipe(u"\\PIPE9X01", 2, 1);
    ExpectPipe(u"\\7\\0", 2, 0);
    // Leading zeros do not make a number large.
    ExpectPipe(u"\\PIPE0000004", 6, 4);
}

TEST(PipeName, NumbersFromSixUpNameNoPipe) {
    ExpectInvalid(u"\\PIPE06", 32);
    ExpectInvalid(u"\\PIPE10", 32);
    ExpectPipe(u"\\PIPE05", 6, 5);
    // A run far longer than any integer is refused, not wrapped round.
    ExpectInvalid(u"\\PIPE4294967296", 32);
    ExpectInvalid(u"\\PIPE99999999999999999999999999", 32);
}

TEST(PipeName, NumberMustLieBelowTheInterfacePipeCount) {
    ExpectInvalid(u"\\PIPE05", 5);
    ExpectInvalid(u"\\PIPE02", 2);
    ExpectInvalid(u"\\PIPE00", 0);
    ExpectPipe(u"\\PIPE04", 5, 4);
}

TEST(PipeName, NamesWithoutDigitsNameNoPipe) {
    ExpectInvalid(u"\\PIPE", 2);
    ExpectInvalid(u"\\", 2);
    ExpectInvalid(u"abcXYZ", 2);
    // Characters that only look like digits elsewhere in UTF-16 are not digits.
    ExpectInvalid(u"\\PIPE\uFF11", 2);
}
